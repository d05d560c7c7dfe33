#include <gtest/gtest.h>

#include <QFont>
#include <QGuiApplication>
#include <cstdlib>

#include "render_support.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_sb.h"
#include "widgets/tcolor.h"

namespace kv {
namespace {

using test::At;
using test::Render;

const QColor kBack(0x20, 0x60, 0xA0);
const QColor kInk(0xC0, 0x10, 0x10);

void Prepare(TlumLbl& l) {
    l.resize(120, 24);
    QPalette pal = l.palette();
    pal.setColor(QPalette::Window, kBack);
    pal.setColor(QPalette::WindowText, kInk);
    l.setPalette(pal);
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

TEST(TlumLbl, FramesTheFilledBackgroundInTheTextColour) {
    TlumLbl l("Focus");
    Prepare(l);
    QImage img = Render(l);
    for (QPoint p : {QPoint(0, 0), QPoint(60, 0), QPoint(119, 12), QPoint(60, 23), QPoint(0, 23)}) {
        EXPECT_EQ(At(img, p), kInk) << p.x() << "," << p.y();
    }
    EXPECT_EQ(At(img, 1, 1), kBack);
    EXPECT_EQ(At(img, 118, 22), kBack);

    l.SetLineBorder(false);
    img = Render(l);
    EXPECT_EQ(At(img, 0, 0), kBack);
    EXPECT_EQ(At(img, 119, 23), kBack);
}

TEST(TlumLbl, CaptionFollowsAlignmentIsCentredVerticallyAndGreyWhenDisabled) {
    TlumLbl l("Exposure");
    Prepare(l);
    l.setAlignment(Qt::AlignLeft);
    QRect ink = InkBox(Render(l), kInk);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GE(ink.left(), 2);
    EXPECT_LT(ink.left(), 6);
    EXPECT_LT(ink.right(), 60);
    const QRect caption = l.CaptionRect();
    EXPECT_EQ(caption, QRect(2, 2, 117, 21));
    EXPECT_GE(ink.top(), caption.top());
    EXPECT_LE(ink.bottom(), caption.bottom());
    EXPECT_LE(std::abs((ink.top() - caption.top()) - (caption.bottom() - ink.bottom())), 5);

    l.setAlignment(Qt::AlignRight);
    QImage img = Render(l);
    ink = InkBox(img, kInk);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GT(ink.left(), 60);
    EXPECT_LE(ink.right(), 118);
    EXPECT_GT(ink.right(), 112);

    // Disabled, the caption is grey.
    l.setEnabled(false);
    img = Render(l);
    EXPECT_TRUE(InkBox(img, kInk).isEmpty());
    EXPECT_FALSE(InkBox(img, QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText)).isEmpty());
}

TEST(TlumSB, LatchedButtonIsSunkenAndItsFaceUsesTheDownColour) {
    TlumSB b;
    QPalette pal = b.palette();
    pal.setColor(QPalette::Button, QColor(0xF0, 0x10, 0x10));
    pal.setColor(QPalette::Light, QColor(250, 250, 250));
    pal.setColor(QPalette::Shadow, QColor(5, 5, 5));
    b.setPalette(pal);
    QImage img = Render(b);
    EXPECT_EQ(At(img, 12, 12), QColor(0xF0, 0x10, 0x10));
    EXPECT_EQ(At(img, 0, 12), QColor(250, 250, 250));  // raised
    EXPECT_EQ(At(img, 24, 12), QColor(5, 5, 5));

    b.click();
    ASSERT_TRUE(b.isChecked());
    img = Render(b);
    for (int xy : {3, 12, 21}) EXPECT_EQ(At(img, xy, xy), QColor(0xE2, 0xE2, 0xE2)) << xy;
    EXPECT_EQ(At(img, 0, 12), QColor(5, 5, 5));  // sunken
    EXPECT_EQ(At(img, 24, 12), QColor(250, 250, 250));
    b.click();
    ASSERT_FALSE(b.isChecked());
    EXPECT_EQ(At(Render(b), 12, 12), QColor(0xF0, 0x10, 0x10));

    b.SetUpColor(ColorFromTColor(0x00FFFF));
    b.SetDownColor(ColorFromTColor(0xFF0000));
    EXPECT_EQ(At(Render(b), 12, 12), QColor(Qt::yellow));
    b.setChecked(true);
    EXPECT_EQ(At(Render(b), 12, 12), QColor(Qt::blue));
}

}  // namespace
}  // namespace kv
