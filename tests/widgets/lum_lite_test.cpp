#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "widgets/lum_lite.h"
#include "render_support.h"
#include "widgets/tcolor.h"

namespace kv {
namespace {

using test::At;
using test::Render;
using test::Untouched;

// The other way is drawn by the lamps and the latching button below.
TEST(TColor, ValuesAreBlueGreenRedFromTheHighByteDown) {
    EXPECT_EQ(TColorFromColor(QColor(0xEB, 0xD3, 0x03)), 250859u);
}

TEST(TlumLite, DefaultsToADarkGreenRoundLampOf18Pixels) {
    TlumLite lamp;
    EXPECT_EQ(lamp.size(), QSize(18, 18));
    test::MarkBackground(lamp);
    EXPECT_EQ(At(Render(lamp), 9, 11), QColor(0x00, 0x57, 0x00));
    lamp.SetLit(true);
    EXPECT_EQ(At(Render(lamp), 9, 11), QColor(0x00, 0xFF, 0x00));
}

// Wide or tall, the round lamp is an 18-pixel circle in the top left square.
TEST(TlumLite, RoundLampIsAnEighteenPixelCircleInTheTopLeftSquare) {
    for (const QSize size : {QSize(30, 18), QSize(18, 40)}) {
        SCOPED_TRACE(size.width());
        TlumLite lamp;
        lamp.resize(size);
        test::MarkBackground(lamp);
        lamp.SetOnColor(ColorFromTColor(250859));
        lamp.SetLit(true);
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

TEST(TlumLite, SquareLampFillsFourteenPixelsInsideARaisedBevel) {
    TlumLite lamp;
    lamp.resize(30, 18);
    lamp.SetShape(lsSquare);
    test::MarkBackground(lamp);
    QPalette pal = lamp.palette();
    pal.setColor(QPalette::Light, QColor(250, 250, 250));
    pal.setColor(QPalette::Shadow, QColor(10, 10, 10));
    lamp.setPalette(pal);
    const QImage img = Render(lamp);
    const QColor off(0x00, 0x57, 0x00);

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
        EXPECT_EQ(std::pair(At(img, k, 9), At(img, 9, k)), std::pair(QColor(250, 250, 250), QColor(250, 250, 250)));
        EXPECT_EQ(std::pair(At(img, 17 - k, 9), At(img, 9, 17 - k)), std::pair(QColor(10, 10, 10), QColor(10, 10, 10)));
    }
    EXPECT_EQ(At(img, 20, 9), Untouched());
}

TEST(TlumLite, ChangedIsSignalledOncePerRealChange) {
    TlumLite lamp;
    std::vector<std::pair<TlumLite*, bool>> calls;
    QObject::connect(&lamp, &TlumLite::changed,
                     [&calls](TlumLite* sender, bool lit) { calls.emplace_back(sender, lit); });
    lamp.SetLit(false);
    EXPECT_TRUE(calls.empty());
    lamp.SetLit(true);
    lamp.SetLit(true);
    lamp.SetLit(false);
    EXPECT_EQ(calls, (std::vector<std::pair<TlumLite*, bool>>{{&lamp, true}, {&lamp, false}}));
}

}  // namespace
}  // namespace kv
