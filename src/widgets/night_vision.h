// Night vision: a red-on-black look that keeps an observer's eyes dark-adapted.
// Every colour a widget of its own draws passes through ShownColor, so lamps,
// meters, charts and pictures turn red together with the palette.
#pragma once

#include <QColor>
#include <QPalette>
#include <QPixmap>

namespace kv {

void SetNightVision(bool on);
bool NightVision();

// By day the colour itself; at night its brightest channel as pure red, so a
// lit lamp still stands out from a dark one.
QColor ShownColor(const QColor& colour);
QColor NightColor(const QColor& colour);

// Each pixel by NightColor, for pictures drawn elsewhere (a style's icons).
QPixmap NightPixmap(const QPixmap& pixmap);

// Red text and lines on black for every role; disabled text a dimmer red.
QPalette NightPalette();

// Puts a thin wrapper round the application's style (once; later calls do
// nothing) that, at night, outlines the empty circles of radio buttons and the
// empty squares of check boxes in dim red. The style draws those outlines a
// shade darker than the window, which on the night's near-black is nothing.
void UseNightIndicators();

}  // namespace kv
