#include "widgets/bevel.h"

#include <QPainter>

namespace kv {

void DrawBevelRing(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
    if (r.width() <= 0 || r.height() <= 0) {
        return;
    }
    const int l = r.left();
    const int t = r.top();
    const int rt = r.right();
    const int b = r.bottom();
    p.fillRect(QRect(QPoint(l, t), QPoint(l, b)), topLeft);
    if (rt > l) {
        p.fillRect(QRect(QPoint(l, t), QPoint(rt - 1, t)), topLeft);
    }
    p.fillRect(QRect(QPoint(rt, t), QPoint(rt, b)), bottomRight);
    p.fillRect(QRect(QPoint(l, b), QPoint(rt, b)), bottomRight);
}

void DrawPixelFrame(QPainter& p, const QRect& r, const QColor& colour) {
    DrawBevelRing(p, r, colour, colour);
}

}  // namespace kv
