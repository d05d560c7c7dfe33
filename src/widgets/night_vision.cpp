#include "widgets/night_vision.h"

#include <QApplication>
#include <QImage>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <algorithm>
#include <atomic>

namespace kv {

namespace {
std::atomic<bool> g_night{false};

class NightIndicatorStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (option == nullptr || !NightVision() ||
            (element != PE_IndicatorRadioButton && element != PE_IndicatorCheckBox)) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        // The style takes the indicator's outline from the window colour,
        // darkened; a window colour this bright gives a dim red outline.
        // Only the copy given to the indicator changes; the style reads a
        // check box's option as a button's, so a button's stays one.
        auto brighten = [](QStyleOption& copy) {
            for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                copy.palette.setColor(group, QPalette::Window,
                                      group == QPalette::Disabled ? QColor(90, 0, 0) : QColor(160, 0, 0));
            }
        };
        if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option)) {
            QStyleOptionButton copy(*button);
            brighten(copy);
            QProxyStyle::drawPrimitive(element, &copy, painter, widget);
        } else {
            QStyleOption copy(*option);
            brighten(copy);
            QProxyStyle::drawPrimitive(element, &copy, painter, widget);
        }
    }
};
}  // namespace

void UseNightIndicators() {
    if (dynamic_cast<NightIndicatorStyle*>(QApplication::style()) != nullptr) return;
    // A fresh instance of the same style: the application deletes the style
    // it had once another is set.
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    QApplication::setStyle(new NightIndicatorStyle(base));
}

void SetNightVision(bool on) { g_night.store(on); }
bool NightVision() { return g_night.load(); }

QColor NightColor(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return QColor(std::max({rgb.red(), rgb.green(), rgb.blue()}), 0, 0, rgb.alpha());
}

QColor ShownColor(const QColor& colour) { return NightVision() ? NightColor(colour) : colour; }

QPixmap NightPixmap(const QPixmap& pixmap) {
    if (pixmap.isNull()) return pixmap;
    QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) row[x] = NightColor(QColor::fromRgba(row[x])).rgba();
    }
    QPixmap out = QPixmap::fromImage(image);
    out.setDevicePixelRatio(pixmap.devicePixelRatio());
    return out;
}

QPalette NightPalette() {
    const QColor black(0, 0, 0);
    const QColor ink(200, 0, 0);
    const QColor dim(110, 0, 0);
    QPalette p;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor text = group == QPalette::Disabled ? dim : ink;
        p.setColor(group, QPalette::Window, QColor(12, 0, 0));
        p.setColor(group, QPalette::Base, black);
        p.setColor(group, QPalette::AlternateBase, QColor(24, 0, 0));
        p.setColor(group, QPalette::Button, QColor(30, 0, 0));
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::BrightText, QColor(255, 0, 0));
        p.setColor(group, QPalette::PlaceholderText, dim);
        p.setColor(group, QPalette::Highlight, QColor(90, 0, 0));
        p.setColor(group, QPalette::HighlightedText, QColor(255, 0, 0));
        p.setColor(group, QPalette::Light, QColor(90, 0, 0));
        p.setColor(group, QPalette::Midlight, QColor(60, 0, 0));
        p.setColor(group, QPalette::Mid, QColor(40, 0, 0));
        p.setColor(group, QPalette::Dark, QColor(20, 0, 0));
        p.setColor(group, QPalette::Shadow, black);
        p.setColor(group, QPalette::ToolTipBase, black);
        p.setColor(group, QPalette::ToolTipText, ink);
        p.setColor(group, QPalette::Link, QColor(255, 0, 0));
        p.setColor(group, QPalette::LinkVisited, dim);
    }
    return p;
}

}  // namespace kv
