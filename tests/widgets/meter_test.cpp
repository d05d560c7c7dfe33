#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "render_support.h"
#include "widgets/meter.h"
#include "widgets/tcolor.h"

namespace kv {
namespace {

using test::At;
using test::Render;

QColor CentreOf(const QImage& img, const QRect& r) { return At(img, r.center()); }

// The calibration page's fit-quality meter.
void MakeFitMeter(TMeter& m) {
    m.SetNumberOfLEDs(32);
    m.SetLoBarNumber(16);
    m.SetLoBarColor(Qt::red);
    m.SetHiBarNumber(8);
    m.SetHiBarColor(Qt::yellow);
    m.SetClipBarColor(Qt::green);
    m.SetBackColor(ColorFromTColor(4210752));
    m.SetSpaceBetween(0);
    m.SetInteriorOffset(0);
}

TEST(TMeter, DefaultMeterGeometryAndPixels) {
    TMeter m;
    // bs3D border (2 px) plus a 1 px interior frame: LEDs 18 wide, 8 high, 1 apart.
    EXPECT_EQ(m.LedRect(19), QRect(3, 4, 18, 8));
    EXPECT_EQ(m.LedRect(18), QRect(3, 13, 18, 8));
    EXPECT_EQ(m.LedRect(0), QRect(3, 175, 18, 8));
    EXPECT_TRUE(m.LedRect(20).isEmpty());

    QPalette pal = m.palette();
    pal.setColor(QPalette::Dark, QColor(1, 2, 3));
    pal.setColor(QPalette::Light, QColor(4, 5, 6));
    pal.setColor(QPalette::ButtonText, QColor(7, 8, 9));
    pal.setColor(QPalette::Button, QColor(10, 11, 12));
    m.setPalette(pal);
    const QImage img = Render(m);

    // Sunken double bevel: dark outside at the top left, light at the bottom right.
    EXPECT_EQ(std::pair(At(img, 0, 90), At(img, 23, 90)), std::pair(QColor(1, 2, 3), QColor(4, 5, 6)));
    EXPECT_EQ(std::pair(At(img, 1, 90), At(img, 22, 90)), std::pair(QColor(7, 8, 9), QColor(10, 11, 12)));
    // Interior frame, the gap above an LED and the space under the bottom LED.
    for (QPoint p : {QPoint(2, 90), QPoint(12, 3), QPoint(12, 12), QPoint(12, 183)}) {
        EXPECT_EQ(At(img, p), QColor(Qt::white)) << p.x() << "," << p.y();
    }
    // Black LED outlines; the bands of a full bar.
    EXPECT_EQ(At(img, 3, 4), QColor(Qt::black));
    EXPECT_EQ(At(img, 20, 182), QColor(Qt::black));
    for (int i = 0; i < 20; ++i) {
        const QColor want = i < 16 ? QColor(Qt::green) : i < 19 ? QColor(Qt::yellow) : QColor(Qt::red);
        EXPECT_EQ(CentreOf(img, m.LedRect(i)), want) << "LED " << i + 1;
    }
}

TEST(TMeter, FitMeterAtTwentyLightsSixteenRedAndFourYellow) {
    TMeter m;
    MakeFitMeter(m);
    m.SetMeterValue(20);
    const QImage img = Render(m);
    for (int i = 0; i < 32; ++i) {
        const QRect led = m.LedRect(i);
        ASSERT_FALSE(led.isEmpty());
        const QColor want = i < 16 ? QColor(Qt::red) : i < 20 ? QColor(Qt::yellow) : QColor(0x40, 0x40, 0x40);
        EXPECT_EQ(CentreOf(img, led), want) << "LED " << i + 1;
        EXPECT_EQ(At(img, led.topLeft()), QColor(Qt::black)) << "LED " << i + 1;
    }
    // Without spacing the LEDs are stacked edge to edge.
    EXPECT_EQ(m.LedRect(0).top(), m.LedRect(1).bottom() + 1);
}

TEST(TMeter, ValueIsClampedToTheLedsEverySetIsSignalledAndZeroLedsIsRefused) {
    TMeter m;
    m.SetNumberOfLEDs(32);
    std::vector<std::pair<TMeter*, int>> calls;
    QObject::connect(&m, &TMeter::changed,
                     [&calls](TMeter* sender, int value) { calls.emplace_back(sender, value); });
    m.SetMeterValue(40);
    EXPECT_EQ(m.MeterValue(), 32);
    m.SetMeterValue(32);
    m.SetMeterValue(-3);
    EXPECT_EQ(m.MeterValue(), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<TMeter*, int>>{{&m, 32}, {&m, 32}, {&m, 0}}));

    m.SetMeterValue(20);
    m.SetNumberOfLEDs(10);
    EXPECT_EQ(m.MeterValue(), 10);
    m.SetNumberOfLEDs(0);
    EXPECT_EQ(m.NumberOfLEDs(), 1);
    EXPECT_EQ(m.MeterValue(), 1);
    const QImage img = Render(m);  // must not divide by zero
    EXPECT_EQ(CentreOf(img, m.LedRect(0)), QColor(Qt::green));
}

TEST(TMeter, LedsThatDoNotFitAreNotDrawn) {
    TMeter m;
    m.resize(24, 30);
    m.SetNumberOfLEDs(40);
    EXPECT_TRUE(m.LedRect(0).isEmpty());
    const QImage img = Render(m);
    EXPECT_EQ(At(img, 12, 15), QColor(Qt::white));
}

std::vector<int> LitLeds(const TMeter& m, const QImage& img) {
    std::vector<int> lit;
    for (int i = 0; i < m.NumberOfLEDs(); ++i) {
        if (CentreOf(img, m.LedRect(i)) != m.BackColor()) lit.push_back(i + 1);
    }
    return lit;
}

TEST(TMeter, HeldPeakStaysLitUntilTheHoldTimeHasPassed) {
    qint64 now = 1000;
    TMeter m;
    m.SetClock([&now] { return now; });
    m.SetPeakPower(ppPeak);
    // Without a hold time a dot meter lights exactly one LED, or none at 0.
    for (int value : {7, 3, 0}) {
        m.SetMeterValue(value);
        EXPECT_EQ(LitLeds(m, Render(m)), value == 0 ? std::vector<int>{} : std::vector<int>{value});
    }
    m.SetPeakHoldTime(500);
    m.SetMeterValue(12);
    EXPECT_EQ(LitLeds(m, Render(m)), std::vector<int>{12});
    now += 200;
    m.SetMeterValue(5);
    EXPECT_EQ(LitLeds(m, Render(m)), (std::vector<int>{5, 12}));
    now += 299;  // 499 ms after the peak
    EXPECT_EQ(LitLeds(m, Render(m)), (std::vector<int>{5, 12}));
    now += 1;  // 500 ms: the peak is let go and the current value taken
    EXPECT_EQ(LitLeds(m, Render(m)), std::vector<int>{5});
    EXPECT_EQ(m.HeldPeak(), 5);

    // A higher value replaces the held peak at once and restarts the hold.
    m.SetMeterValue(9);
    EXPECT_EQ(LitLeds(m, Render(m)), std::vector<int>{9});
    now += 100;
    m.SetMeterValue(2);
    EXPECT_EQ(LitLeds(m, Render(m)), (std::vector<int>{2, 9}));
    // A bar shows the held peak above it.
    m.SetPeakPower(ppPower);
    EXPECT_EQ(LitLeds(m, Render(m)), (std::vector<int>{1, 2, 9}));
}

TEST(TMeter, FlatBorderIsOneBlackLineAndBorderWidthLeavesSpaceOutside) {
    TMeter m;
    test::MarkBackground(m);
    m.SetBorderStyle(bsFlat);
    m.SetBorderWidth(2);
    m.SetInteriorOffset(0);
    m.SetSpaceBetween(0);
    const QImage img = Render(m);
    for (int x : {0, 1}) EXPECT_EQ(At(img, x, 90), test::Untouched()) << x;
    for (int x : {2, 21}) EXPECT_EQ(At(img, x, 90), QColor(Qt::black)) << x;
    // Inset 1 for the flat border: the top LED starts right under it.
    EXPECT_EQ(m.LedRect(19).topLeft(), QPoint(3, 3));
}

}  // namespace
}  // namespace kv
