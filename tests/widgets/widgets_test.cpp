// The small widgets: the framed label, the latching button, the lamp, the
// memo that keeps a bounded number of lines and the LED meter.
#include <gtest/gtest.h>

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QStringList>
#include <QWidget>
#include <initializer_list>
#include <utility>

#include "widgets/lum_lbl.h"
#include "widgets/lum_lite.h"
#include "widgets/lum_memo.h"
#include "widgets/lum_sb.h"
#include "widgets/meter.h"
#include "widgets/tcolor.h"

namespace kv {
namespace {

// Widgets are checked by their rendered pixels. Every top-level widget gets
// this background, so pixels a widget leaves alone are recognisable.
QColor Untouched() { return QColor(0x12, 0x34, 0x56); }

void SetColours(QWidget& w, std::initializer_list<std::pair<QPalette::ColorRole, QColor>> colours) {
    QPalette pal = w.palette();
    for (const auto& [role, colour] : colours) pal.setColor(role, colour);
    w.setPalette(pal);
}

void MarkBackground(QWidget& w) { SetColours(w, {{QPalette::Window, Untouched()}}); }
QImage Render(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_RGB32); }
QColor At(const QImage& img, int x, int y) { return QColor(img.pixel(x, y)); }
QColor At(const QImage& img, QPoint p) { return At(img, p.x(), p.y()); }

const QColor kBack(0x20, 0x60, 0xA0);
const QColor kInk(0xC0, 0x10, 0x10);

void Prepare(TlumLbl& l) {
    l.resize(120, 24);
    SetColours(l, {{QPalette::Window, kBack}, {QPalette::WindowText, kInk}});
    // Plain pixels make the caption's colour testable.
    QFont f = l.font();
    f.setStyleStrategy(QFont::NoAntialias);
    l.setFont(f);
}

// Bounding box of the pixels in `colour` strictly inside the frame.
QRect InkBox(const QImage& img, const QColor& colour) {
    QRect box;
    for (int y = 1; y < img.height() - 1; ++y) {
        for (int x = 1; x < img.width() - 1; ++x) {
            if (At(img, x, y) == colour) box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

TEST(TlumLbl, FramesTheBackgroundInTheTextColourAndPlacesTheCaptionWhichIsGreyWhenDisabled) {
    TlumLbl l("Exposure");
    Prepare(l);
    QImage img = Render(l);
    for (QPoint p : {QPoint(0, 0), QPoint(60, 0), QPoint(119, 12), QPoint(60, 23), QPoint(0, 23)}) {
        EXPECT_EQ(At(img, p), kInk) << p.x() << "," << p.y();
    }
    EXPECT_EQ(std::tuple(At(img, 1, 1), At(img, 118, 22)), std::tuple(kBack, kBack));

    l.setAlignment(Qt::AlignLeft);
    QRect ink = InkBox(Render(l), kInk);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(ink.left() >= 2 && ink.left() < 6 && ink.right() < 60) << ink.left() << ".." << ink.right();
    const QRect caption = l.CaptionRect();
    EXPECT_EQ(caption, QRect(2, 2, 117, 21));
    EXPECT_TRUE(caption.contains(ink)) << ink.top() << ".." << ink.bottom();
    EXPECT_LE(std::abs((ink.top() - caption.top()) - (caption.bottom() - ink.bottom())), 5);

    l.setAlignment(Qt::AlignRight);
    ink = InkBox(Render(l), kInk);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(ink.left() > 60 && ink.right() > 112 && ink.right() <= 118) << ink.left() << ".." << ink.right();

    l.setEnabled(false);
    img = Render(l);
    const QColor grey = QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    EXPECT_TRUE(InkBox(img, kInk).isEmpty() && !InkBox(img, grey).isEmpty());
    l.SetLineBorder(false);
    img = Render(l);
    EXPECT_EQ(std::tuple(At(img, 0, 0), At(img, 119, 23)), std::tuple(kBack, kBack));
}

TEST(TlumSB, LatchedButtonIsSunkenAndItsFaceUsesTheDownColour) {
    TlumSB b;
    const QColor face(0xF0, 0x10, 0x10), light(250, 250, 250), shadow(5, 5, 5);
    SetColours(b, {{QPalette::Button, face}, {QPalette::Light, light}, {QPalette::Shadow, shadow}});
    QImage img = Render(b);
    EXPECT_EQ(std::tuple(At(img, 12, 12), At(img, 0, 12), At(img, 24, 12)), std::tuple(face, light, shadow));  // raised

    b.click();
    img = Render(b);
    for (int xy : {3, 12, 21}) EXPECT_EQ(At(img, xy, xy), QColor(0xE2, 0xE2, 0xE2)) << xy;
    EXPECT_EQ(std::tuple(At(img, 0, 12), At(img, 24, 12)), std::tuple(shadow, light));  // sunken
    b.click();  // released again: raised, in its own colour
    EXPECT_EQ(At(Render(b), 12, 12), face);

    b.SetUpColor(ColorFromTColor(0x00FFFF));
    b.SetDownColor(ColorFromTColor(0xFF0000));
    EXPECT_EQ(At(Render(b), 12, 12), QColor(Qt::yellow));
    b.setChecked(true);
    EXPECT_EQ(At(Render(b), 12, 12), QColor(Qt::blue));
}

// A colour value is blue, green, red from the high byte down; the other way
// is drawn by the lamps and the latching button. Wide or tall, the round lamp
// is an 18-pixel circle in the top left square.
TEST(TlumLite, DefaultDarkGreenLampAndTheRoundLampIsAnEighteenPixelCircleInTheTopLeftSquare) {
    EXPECT_EQ(TColorFromColor(QColor(0xEB, 0xD3, 0x03)), 250859u);
    TlumLite lamp;
    EXPECT_EQ(lamp.size(), QSize(18, 18));
    MarkBackground(lamp);
    EXPECT_EQ(At(Render(lamp), 9, 11), QColor(0x00, 0x57, 0x00));
    lamp.SetLit(true);
    EXPECT_EQ(At(Render(lamp), 9, 11), QColor(0x00, 0xFF, 0x00));

    lamp.SetOnColor(ColorFromTColor(250859));
    for (const QSize size : {QSize(30, 18), QSize(18, 40)}) {
        SCOPED_TRACE(size.width());
        lamp.resize(size);
        const QImage img = Render(lamp);
        // The outline touches all four sides of the square at their middles;
        // its corners lie outside the circle.
        for (QPoint p : {QPoint(0, 9), QPoint(17, 8), QPoint(9, 0), QPoint(8, 17)}) {
            EXPECT_EQ(At(img, p), QColor(Qt::black)) << p.x() << "," << p.y();
        }
        for (QPoint corner : {QPoint(0, 0), QPoint(17, 0), QPoint(0, 17), QPoint(17, 17)}) {
            EXPECT_EQ(At(img, corner), Untouched()) << corner.x() << "," << corner.y();
        }
        EXPECT_EQ(At(img, 12, 9), QColor(0xEB, 0xD3, 0x03));
        EXPECT_EQ(At(img, 6, 5), QColor(Qt::white));  // the glint, upper left
        for (int y = 0; y < img.height(); ++y) {
            for (int x = y < 18 ? 18 : 0; x < img.width(); ++x) ASSERT_EQ(At(img, x, y), Untouched()) << x << "," << y;
        }
    }
}

TEST(TlumLite, SquareLampFillsFourteenPixelsInsideARaisedBevelAndChangesAreSignalledOnce) {
    TlumLite lamp;
    lamp.resize(30, 18);
    lamp.SetShape(lsSquare);
    const QColor off(0x00, 0x57, 0x00), light(250, 250, 250), shadow(10, 10, 10);
    SetColours(lamp, {{QPalette::Window, Untouched()}, {QPalette::Light, light}, {QPalette::Shadow, shadow}});
    const QImage img = Render(lamp);

    int filled = 0;
    for (int y = 0; y < 18; ++y) {
        for (int x = 0; x < 18; ++x) {
            if (At(img, x, y) != off) continue;
            ++filled;
            EXPECT_TRUE(x >= 2 && x <= 15 && y >= 2 && y <= 15) << x << "," << y;
        }
    }
    EXPECT_EQ(filled, 14 * 14);
    // Highlight on the top and left, dark shadow on the bottom and right.
    for (int k : {0, 1}) {
        EXPECT_EQ(std::tuple(At(img, k, 9), At(img, 9, k)), std::tuple(light, light));
        EXPECT_EQ(std::tuple(At(img, 17 - k, 9), At(img, 9, 17 - k)), std::tuple(shadow, shadow));
    }
    EXPECT_EQ(At(img, 20, 9), Untouched());

    TlumLite signalling;
    std::vector<std::pair<TlumLite*, bool>> calls;
    QObject::connect(&signalling, &TlumLite::changed, [&calls](TlumLite* sender, bool lit) { calls.emplace_back(sender, lit); });
    for (const bool lit : {false, true, true, false}) signalling.SetLit(lit);
    EXPECT_EQ(calls, (std::vector<std::pair<TlumLite*, bool>>{{&signalling, true}, {&signalling, false}}));
}

QString Line(int n) { return QStringLiteral("line %1").arg(n); }

// Records every dropped line together with its sender.
struct DropRecorder {
    explicit DropRecorder(TlumMemo& memo) {
        QObject::connect(&memo, &TlumMemo::maxLines, [this, &memo](TlumMemo* sender, const QString& line) {
            senderOk = senderOk && sender == &memo;
            dropped.append(line);
        });
    }
    bool senderOk = true;
    QStringList dropped;
};

void Fill(TlumMemo& m, int from, int to) {
    for (int i = from; i <= to; ++i) m.Add(Line(i));
}

TEST(TlumMemo, AFullMemoDropsItsFirstLineAndSaysWhichANewBoundDropsSilentlyAndLinesAreCountedAsAdded) {
    for (int bound : {1, 3}) {
        SCOPED_TRACE(bound);
        TlumMemo memo;
        memo.SetMaxLines(bound);
        DropRecorder spy(memo);
        Fill(memo, 1, bound);
        EXPECT_TRUE(spy.dropped.isEmpty());
        for (int extra : {1, 2}) EXPECT_EQ(memo.Add(Line(bound + extra)), bound);
        EXPECT_TRUE(spy.senderOk);
        EXPECT_EQ(spy.dropped, (QStringList{Line(1), Line(2)}));
        EXPECT_EQ(std::tuple(memo.Lines().first(), memo.Lines().last()), std::tuple(Line(3), Line(bound + 2)));
    }

    TlumMemo memo;
    DropRecorder spy(memo);
    Fill(memo, 1, 10);
    memo.SetMaxLines(4);
    EXPECT_EQ(memo.Lines(), (QStringList{Line(7), Line(8), Line(9), Line(10)}));
    // Setting the same bound, or a higher one, removes nothing.
    memo.SetMaxLines(4), memo.SetMaxLines(100);
    EXPECT_EQ(memo.LineCount(), 4);
    memo.SetMaxLines(0), Fill(memo, 11, 200);
    EXPECT_TRUE(memo.LineCount() == 194 && spy.dropped.isEmpty()) << memo.LineCount();

    // Hidden trace lines still take their place in the bound: a drop takes
    // the oldest line held, and only a shown one leaves the view.
    using Kind = TlumMemo::LineKind;
    TlumMemo results;
    results.SetMaxLines(3);
    results.Add(Line(1)), results.Add(Line(2), Kind::Trace), results.Add(Line(3));
    results.SetShowTrace(false);
    EXPECT_EQ(results.ShownLines(), (QStringList{Line(1), Line(3)}));
    results.Add(Line(4), Kind::Trace);
    EXPECT_EQ(results.ShownLines(), (QStringList{Line(3)}));
    results.Add(Line(5));
    EXPECT_EQ(results.ShownLines(), (QStringList{Line(3), Line(5)}));
    EXPECT_EQ(results.Lines(), (QStringList{Line(3), Line(4), Line(5)}));
    results.SetShowTrace(true);
    EXPECT_EQ(results.ShownLines(), results.Lines());

    TlumMemo counted;
    // An empty first line is a line of its own, not room for the next one.
    EXPECT_EQ(counted.Add(QString()), 1);
    EXPECT_EQ(counted.Add(QStringLiteral("x")), 2);
    EXPECT_EQ(counted.Lines(), (QStringList{QString(), QStringLiteral("x")}));
    // Embedded line breaks make separate lines, so the count stays true.
    EXPECT_EQ(counted.Add(QStringLiteral("a\r\nb")), 4);
    EXPECT_EQ(counted.Lines().last(), QStringLiteral("b"));

    counted.clear();
    EXPECT_EQ(counted.Add(QStringLiteral("after clear")), 1);
    EXPECT_EQ(counted.toPlainText(), QStringLiteral("after clear"));
}

QColor CentreOf(const QImage& img, const QRect& r) { return At(img, r.center()); }

TEST(TMeter, DefaultAndFlatBorderGeometryAndPixels) {
    TMeter m;
    // bs3D border (2 px) plus a 1 px interior frame: LEDs 18 wide, 8 high, 1 apart.
    EXPECT_EQ(std::tuple(m.LedRect(19), m.LedRect(18), m.LedRect(0)),
              std::tuple(QRect(3, 4, 18, 8), QRect(3, 13, 18, 8), QRect(3, 175, 18, 8)));
    EXPECT_TRUE(m.LedRect(20).isEmpty());

    SetColours(m, {{QPalette::Dark, QColor(1, 2, 3)}, {QPalette::Light, QColor(4, 5, 6)},
                         {QPalette::ButtonText, QColor(7, 8, 9)}, {QPalette::Button, QColor(10, 11, 12)}});
    const QImage img = Render(m);

    // Sunken double bevel: dark outside at the top left, light at the bottom right.
    EXPECT_EQ(std::tuple(At(img, 0, 90), At(img, 23, 90)), std::tuple(QColor(1, 2, 3), QColor(4, 5, 6)));
    EXPECT_EQ(std::tuple(At(img, 1, 90), At(img, 22, 90)), std::tuple(QColor(7, 8, 9), QColor(10, 11, 12)));
    // Interior frame, the gap above an LED and the space under the bottom LED.
    for (QPoint p : {QPoint(2, 90), QPoint(12, 3), QPoint(12, 12), QPoint(12, 183)}) {
        EXPECT_EQ(At(img, p), QColor(Qt::white)) << p.x() << "," << p.y();
    }
    // Black LED outlines; the bands of a full bar.
    EXPECT_EQ(std::tuple(At(img, 3, 4), At(img, 20, 182)), std::tuple(QColor(Qt::black), QColor(Qt::black)));
    for (int i = 0; i < 20; ++i) {
        const QColor want = i < 16 ? QColor(Qt::green) : i < 19 ? QColor(Qt::yellow) : QColor(Qt::red);
        EXPECT_EQ(CentreOf(img, m.LedRect(i)), want) << "LED " << i + 1;
    }

    // A flat border is one black line; the border width leaves space outside it.
    TMeter flat;
    MarkBackground(flat);
    flat.SetBorderStyle(bsFlat), flat.SetBorderWidth(2), flat.SetInteriorOffset(0), flat.SetSpaceBetween(0);
    const QImage flatImg = Render(flat);
    for (int x : {0, 1}) EXPECT_EQ(At(flatImg, x, 90), Untouched()) << x;
    for (int x : {2, 21}) EXPECT_EQ(At(flatImg, x, 90), QColor(Qt::black)) << x;
    EXPECT_EQ(flat.LedRect(19).topLeft(), QPoint(3, 3));  // inset 1 for the flat border
}

TEST(TMeter, FitMeterColoursValueClampedToTheLedsEverySetSignalledAndZeroLedsRefused) {
    TMeter fit;  // the calibration page's fit-quality meter
    fit.SetNumberOfLEDs(32);
    fit.SetLoBarNumber(16), fit.SetHiBarNumber(8), fit.SetSpaceBetween(0), fit.SetInteriorOffset(0);
    fit.SetLoBarColor(Qt::red), fit.SetHiBarColor(Qt::yellow), fit.SetClipBarColor(Qt::green);
    fit.SetBackColor(ColorFromTColor(4210752));
    fit.SetMeterValue(20);
    const QImage img = Render(fit);
    for (int i = 0; i < 32; ++i) {
        const QRect led = fit.LedRect(i);
        ASSERT_FALSE(led.isEmpty());
        const QColor want = i < 16 ? QColor(Qt::red) : i < 20 ? QColor(Qt::yellow) : QColor(0x40, 0x40, 0x40);
        EXPECT_EQ(CentreOf(img, led), want) << "LED " << i + 1;
        EXPECT_EQ(At(img, led.topLeft()), QColor(Qt::black)) << "LED " << i + 1;
    }
    // Without spacing the LEDs are stacked edge to edge.
    EXPECT_EQ(fit.LedRect(0).top(), fit.LedRect(1).bottom() + 1);

    TMeter m;
    m.SetNumberOfLEDs(32);
    std::vector<std::pair<TMeter*, int>> calls;
    QObject::connect(&m, &TMeter::changed, [&calls](TMeter* sender, int value) { calls.emplace_back(sender, value); });
    m.SetMeterValue(40);
    EXPECT_EQ(m.MeterValue(), 32);
    m.SetMeterValue(32), m.SetMeterValue(-3);
    EXPECT_EQ(m.MeterValue(), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<TMeter*, int>>{{&m, 32}, {&m, 32}, {&m, 0}}));

    m.SetMeterValue(20);
    m.SetNumberOfLEDs(10);
    EXPECT_EQ(m.MeterValue(), 10);
    m.SetNumberOfLEDs(0);
    EXPECT_EQ(std::tuple(m.NumberOfLEDs(), m.MeterValue()), std::tuple(1, 1));
    EXPECT_EQ(CentreOf(Render(m), m.LedRect(0)), QColor(Qt::green));  // must not divide by zero

    // LEDs that do not fit are not drawn.
    m.resize(24, 30);
    m.SetNumberOfLEDs(40);
    EXPECT_TRUE(m.LedRect(0).isEmpty());
    EXPECT_EQ(At(Render(m), 12, 15), QColor(Qt::white));
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

}  // namespace
}  // namespace kv
