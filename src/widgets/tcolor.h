#pragma once
// Colours arrive from settings and window definitions as 24-bit values with
// red in the low byte (0x00BBGGRR), the layout the program has always stored.
#include <QColor>
#include <QtGlobal>

namespace kv {

inline QColor ColorFromTColor(quint32 bgr) {
    return QColor(static_cast<int>(bgr & 0xFFu), static_cast<int>((bgr >> 8) & 0xFFu),
                  static_cast<int>((bgr >> 16) & 0xFFu));
}

inline quint32 TColorFromColor(const QColor& c) {
    return static_cast<quint32>(c.red()) | (static_cast<quint32>(c.green()) << 8) |
           (static_cast<quint32>(c.blue()) << 16);
}

}  // namespace kv
