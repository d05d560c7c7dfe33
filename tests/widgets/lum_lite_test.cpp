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

TEST(TColor, ValuesAreBlueGreenRedFromTheHighByteDown) {
    EXPECT_EQ(ColorFromTColor(250859), QColor(0xEB, 0xD3, 0x03));
    EXPECT_EQ(ColorFromTColor(0x0000FF), QColor(Qt::red));
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

TEST(TlumLite, RoundLampInAWideControlIsAnEighteenPixelCircleAtTheLeft) {
    TlumLite lamp;
    lamp.resize(30, 18);
    test::MarkBackground(lamp);
    lamp.SetOnColor(ColorFromTColor(250859));
    lamp.SetLit(true);
    const QImage img = Render(lamp);
    const QColor fill(0xEB, 0xD3, 0x03);

    // The outline touches all four sides of the 18 x 18 square at their middles.
    for (int m : {8, 9}) {
        EXPECT_EQ(At(img, 0, m), QColor(Qt::black)) << m;
        EXPECT_EQ(At(img, 17, m), QColor(Qt::black)) << m;
        EXPECT_EQ(At(img, m, 0), QColor(Qt::black)) << m;
        EXPECT_EQ(At(img, m, 17), QColor(Qt::black)) << m;
    }
    // Corners of the square lie outside the circle.
    for (QPoint corner : {QPoint(0, 0), QPoint(17, 0), QPoint(0, 17), QPoint(17, 17)}) {
        EXPECT_EQ(At(img, corner), Untouched()) << corner.x() << "," << corner.y();
    }
    EXPECT_EQ(At(img, 12, 9), fill);
    // The white glint in the upper left, inside (4,4)..(9,6).
    EXPECT_EQ(At(img, 6, 5), QColor(Qt::white));
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (At(img, x, y) == QColor(Qt::white)) {
                EXPECT_TRUE(x >= 4 && x <= 9 && y >= 4 && y <= 6) << x << "," << y;
            }
        }
    }
    // Nothing is drawn right of the square.
    for (int y = 0; y < 18; ++y) {
        for (int x = 18; x < 30; ++x) {
            ASSERT_EQ(At(img, x, y), Untouched()) << x << "," << y;
        }
    }
}

TEST(TlumLite, TallControlUsesTheTopSquare) {
    TlumLite lamp;
    lamp.resize(18, 40);
    test::MarkBackground(lamp);
    const QImage img = Render(lamp);
    EXPECT_EQ(At(img, 9, 17), QColor(Qt::black));
    for (int y = 18; y < 40; ++y) {
        ASSERT_EQ(At(img, 9, y), Untouched()) << y;
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
            const bool inFace = x >= 2 && x <= 15 && y >= 2 && y <= 15;
            if (inFace) {
                EXPECT_EQ(At(img, x, y), off) << x << "," << y;
            }
            filled += At(img, x, y) == off ? 1 : 0;
        }
    }
    EXPECT_EQ(filled, 14 * 14);
    // Highlight on the top and left, dark shadow on the bottom and right.
    for (int k : {0, 1}) {
        EXPECT_EQ(At(img, k, 9), QColor(250, 250, 250));
        EXPECT_EQ(At(img, 9, k), QColor(250, 250, 250));
        EXPECT_EQ(At(img, 17 - k, 9), QColor(10, 10, 10));
        EXPECT_EQ(At(img, 9, 17 - k), QColor(10, 10, 10));
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
