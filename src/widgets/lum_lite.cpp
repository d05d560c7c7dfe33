#include "widgets/lum_lite.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "widgets/bevel.h"
#include "widgets/night_vision.h"
#include "widgets/tcolor.h"

namespace kv {

namespace {

// 2.5 * n rounded to nearest with halves going to the even neighbour, done in
// integers so it does not depend on the floating-point rounding mode.
int RoundFiveHalves(int n) {
    const int twice = 5 * n;
    int q = twice / 2;
    if (twice % 2 != 0 && q % 2 != 0) {
        ++q;
    }
    return q;
}

}  // namespace

TlumLite::TlumLite(QWidget* parent)
    : QWidget(parent), m_onColor(ColorFromTColor(0x00FF00)), m_offColor(ColorFromTColor(22272)) {
    resize(DefaultSize, DefaultSize);
}

void TlumLite::SetLit(bool lit) {
    if (lit == m_lit) {
        return;
    }
    m_lit = lit;
    update();
    emit changed(this, m_lit);
}

void TlumLite::SetOnColor(const QColor& c) {
    if (c != m_onColor) {
        m_onColor = c;
        update();
    }
}

void TlumLite::SetOffColor(const QColor& c) {
    if (c != m_offColor) {
        m_offColor = c;
        update();
    }
}

void TlumLite::SetShape(TLiteShape shape) {
    if (shape != m_shape) {
        m_shape = shape;
        update();
    }
}

QRect TlumLite::LampRect() const {
    const int side = std::min(width(), height());
    return QRect(0, 0, side, side);
}

QSize TlumLite::sizeHint() const {
    return QSize(DefaultSize, DefaultSize);
}

void TlumLite::paintEvent(QPaintEvent*) {
    const QRect r = LampRect();
    if (r.isEmpty()) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor fill = ShownColor(m_lit ? m_onColor : m_offColor);

    if (m_shape == lsSquare) {
        const QRect face = r.adjusted(2, 2, -2, -2);
        if (!face.isEmpty()) {
            p.fillRect(face, fill);
        }
        const QColor light = palette().color(QPalette::Light);
        const QColor shadow = palette().color(QPalette::Shadow);
        DrawBevelRing(p, r, light, shadow);
        DrawBevelRing(p, r.adjusted(1, 1, -1, -1), light, shadow);
        return;
    }

    // A 1-px pen on an aliased ellipse covers one pixel beyond the rectangle's
    // right and bottom edges, so the rectangle is cut by one to keep the lamp
    // inside its square.
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(fill);
    p.drawEllipse(r.adjusted(0, 0, -1, -1));

    // The glint sits in the upper-left; its corners are given with the right
    // and bottom edges exclusive.
    const int w6 = (r.left() + r.width()) / 6;
    const int h6 = (r.top() + r.height()) / 6;
    const QPoint from(r.left() + w6 + 1, r.top() + h6 + 1);
    const QPoint to(r.left() + RoundFiveHalves(h6) + 2, r.top() + 2 * w6 + 1);
    if (to.x() > from.x() && to.y() > from.y()) {
        // Filled as a path: an aliased drawEllipse of so small a box comes out
        // as a flat bar one row too low.
        QPainterPath glint;
        glint.addEllipse(QRectF(from, QSizeF(to.x() - from.x(), to.y() - from.y())));
        p.fillPath(glint, ShownColor(Qt::white));
    }
}

}  // namespace kv
