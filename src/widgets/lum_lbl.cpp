#include "widgets/lum_lbl.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>

#include "widgets/bevel.h"

namespace kv {

TlumLbl::TlumLbl(QWidget* parent) : QLabel(parent) {}

TlumLbl::TlumLbl(const QString& caption, QWidget* parent) : QLabel(caption, parent) {}

void TlumLbl::SetLineBorder(bool on) {
    if (on != m_lineBorder) {
        m_lineBorder = on;
        update();
    }
}

void TlumLbl::SetTransparent(bool on) {
    if (on != m_transparent) {
        m_transparent = on;
        setAttribute(Qt::WA_TranslucentBackground, on);
        update();
    }
}

QRect TlumLbl::CaptionRect() const {
    return rect().adjusted(2, 2, -1, -1);
}

QPixmap TlumLbl::Render() const {
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(size() * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(m_transparent ? QColor(Qt::transparent) : palette().color(backgroundRole()));
    if (width() <= 0 || height() <= 0) {
        return pm;
    }

    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor pen = palette().color(QPalette::Active, foregroundRole());
    if (m_lineBorder) {
        DrawPixelFrame(p, rect(), pen);
    }
    p.setFont(font());
    // Disabled captions use the desktop's grey text, whatever colour the label
    // was given.
    p.setPen(isEnabled() ? pen : QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText));
    const int flags = static_cast<int>(alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter |
                      Qt::TextSingleLine;
    p.drawText(CaptionRect(), flags, text());
    return pm;
}

void TlumLbl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, Render());
}

}  // namespace kv
