#pragma once
// Helpers for checking widgets by their rendered pixels.
#include <QColor>
#include <QImage>
#include <QPalette>
#include <QWidget>
#include <initializer_list>
#include <utility>

namespace kv::test {

// Background the tests give every top-level widget, so pixels a widget leaves
// alone are recognisable.
inline QColor Untouched() { return QColor(0x12, 0x34, 0x56); }

inline void SetColours(QWidget& w, std::initializer_list<std::pair<QPalette::ColorRole, QColor>> colours) {
    QPalette pal = w.palette();
    for (const auto& [role, colour] : colours) pal.setColor(role, colour);
    w.setPalette(pal);
}

inline void MarkBackground(QWidget& w) { SetColours(w, {{QPalette::Window, Untouched()}}); }

inline QImage Render(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_RGB32); }
inline QColor At(const QImage& img, int x, int y) { return QColor(img.pixel(x, y)); }
inline QColor At(const QImage& img, QPoint p) { return At(img, p.x(), p.y()); }

}  // namespace kv::test
