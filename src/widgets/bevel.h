#pragma once
// Pixel-exact one-pixel bevel rings shared by the display widgets. Drawn with
// fillRect rather than pens so the result does not depend on pen geometry.
#include <QColor>
#include <QRect>

class QPainter;

namespace kv {

// One ring along the edge of `r` (all of r's pixels are inside the ring's outer
// edge): the left column and the top row in `topLeft`, the right column and the
// bottom row in `bottomRight`. The top-right and bottom-left corner pixels take
// `bottomRight`, as a classic 3-D frame does.
void DrawBevelRing(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight);

// A one-pixel rectangle outline in a single colour along the edge of `r`.
void DrawPixelFrame(QPainter& p, const QRect& r, const QColor& colour);

}  // namespace kv
