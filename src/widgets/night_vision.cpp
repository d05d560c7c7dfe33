#include "widgets/night_vision.h"

#include <QImage>
#include <algorithm>
#include <atomic>

namespace kv {

namespace {
std::atomic<bool> g_night{false};
}  // namespace

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
