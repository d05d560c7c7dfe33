#include "widgets/lum_sb.h"

#include <QPainter>

#include "widgets/bevel.h"
#include "widgets/night_vision.h"
#include "widgets/tcolor.h"

namespace kv {

TlumSB::TlumSB(QWidget* parent) : QToolButton(parent), m_downColor(ColorFromTColor(0xE2E2E2)) {
    setCheckable(true);
    setAutoRaise(false);
    resize(DefaultSize, DefaultSize);
}

void TlumSB::SetDownColor(const QColor& c) {
    m_downColor = c;
    update();
}

QColor TlumSB::UpColor() const {
    return m_upColor ? *m_upColor : palette().color(QPalette::Button);
}

void TlumSB::SetUpColor(const QColor& c) {
    m_upColor = c;
    update();
}

QRect TlumSB::FaceRect() const {
    return rect().adjusted(2, 2, -2, -2);
}

QSize TlumSB::sizeHint() const {
    const QSize content = QToolButton::sizeHint();
    return content.expandedTo(QSize(DefaultSize, DefaultSize));
}

QSize TlumSB::minimumSizeHint() const {
    return QSize(DefaultSize, DefaultSize);
}

void TlumSB::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QPalette& pal = palette();
    const bool down = IsDown();

    p.fillRect(rect(), ShownColor(down ? m_downColor : UpColor()));

    // Raised when up, sunken when down.
    const QRect outer = rect();
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    if (down) {
        DrawBevelRing(p, outer, pal.color(QPalette::Shadow), pal.color(QPalette::Light));
        DrawBevelRing(p, inner, pal.color(QPalette::Dark), pal.color(QPalette::Midlight));
    } else {
        DrawBevelRing(p, outer, pal.color(QPalette::Light), pal.color(QPalette::Shadow));
        DrawBevelRing(p, inner, pal.color(QPalette::Midlight), pal.color(QPalette::Dark));
    }

    // Content moves one pixel down and right while pressed, like any push
    // button.
    QRect content = FaceRect();
    if (down) {
        content.translate(1, 1);
    }
    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    const QString caption = text();
    int x = content.left();
    int contentWidth = 0;
    const QSize iconSz = icon().isNull() ? QSize() : iconSize().boundedTo(content.size());
    const int spacing = 2;
    if (!iconSz.isEmpty()) {
        contentWidth += iconSz.width();
    }
    const int textWidth = caption.isEmpty() ? 0 : fontMetrics().horizontalAdvance(caption);
    if (textWidth > 0) {
        contentWidth += textWidth + (iconSz.isEmpty() ? 0 : spacing);
    }
    x += (content.width() - contentWidth) / 2;
    if (!iconSz.isEmpty()) {
        const QPixmap pm = icon().pixmap(iconSz, devicePixelRatioF(), mode,
                                         down ? QIcon::On : QIcon::Off);
        p.drawPixmap(QRect(QPoint(x, content.top() + (content.height() - iconSz.height()) / 2), iconSz),
                     pm);
        x += iconSz.width() + spacing;
    }
    if (textWidth > 0) {
        p.setFont(font());
        p.setPen(pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
        p.drawText(QRect(x, content.top(), content.right() - x + 1, content.height()),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::TextSingleLine, caption);
    }

    if (hasFocus()) {
        p.setPen(QPen(pal.color(QPalette::ButtonText), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(FaceRect().adjusted(1, 1, -2, -2));
    }
}

}  // namespace kv
