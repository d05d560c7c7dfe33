// The picture control shows the image object's own bitmap, so these tests
// change, resize and rewrite it under it (ASan reports any read of a freed one).
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "app/focus_zoom.h"
#include "app/picture_view.h"
#include "camera/image_object.h"
#include "support/temp_files.h"

namespace {

std::vector<std::uint16_t> Pattern(int w, int h, int seed) {
    std::vector<std::uint16_t> p(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint16_t>(((i * 37 + seed * 91) % 256) << 8);
    return p;
}

// Every pixel of `shown` (from its top-left) is the bitmap's R, G, B.
void ExpectShows(const QImage& shown, const kv::TBitmap24& bitmap) {
    ASSERT_GE(shown.width(), bitmap.Width());
    ASSERT_GE(shown.height(), bitmap.Height());
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            const std::uint8_t* p = bitmap.Row(y) + 3 * x;
            ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFF, qRgb(p[0], p[1], p[2]) & 0xFFFFFF) << x << "," << y;
        }
    }
}

bool IsSilver(const QImage& image, int x, int y) { return (image.pixel(x, y) & 0xFFFFFF) == 0xC0C0C0; }

}  // namespace

TEST(PictureView, ShowsTheBitmapAndFollowsUpdatesThatResizeIt) {
    // Width 7: rows of 21 bytes padded to 24, so a wrong stride shears the picture.
    kv::TImageObject image(7, 5);
    image.LoadPixels(Pattern(7, 5, 1).data());
    TPictureView view;
    view.resize(7, 5);
    view.SetSource(&image);
    image.PutImage(view);
    EXPECT_EQ(view.PictureSize(), QSize(7, 5));
    ExpectShows(view.Picture(), image.DisplayBitmap());
    ExpectShows(view.grab().toImage(), image.DisplayBitmap());

    // A magnified frame shows the (smaller) zoom bitmap, stretched.
    image.LoadPixels(Pattern(7, 5, 2).data());
    image.SetMagnification(2.0);
    image.PutImage(view);
    EXPECT_TRUE(view.Stretch());
    EXPECT_EQ(view.Picture().size(), QSize(4, 2));
    ExpectShows(view.Picture(), image.ZoomBitmap());

    // An Update alone (no PutImage) resizes the zoom bitmap under the view.
    image.SetMagnification(3.0);
    image.Update();
    ASSERT_EQ(image.ZoomBitmap().Width(), 2);
    ExpectShows(view.Picture(), image.ZoomBitmap());
    view.resize(4, 4);
    const int grey = image.ZoomBitmap().GreyAt(1, 1);
    EXPECT_EQ(view.grab().toImage().pixel(3, 3), qRgb(grey, grey, grey));

    view.ClearPicture();
    const QImage black = view.Picture();
    EXPECT_EQ(black.size(), QSize(2, 2));
    EXPECT_EQ(black.pixel(1, 1) & 0xFFFFFF, 0u);

    // A bitmap of no source is copied, colours in R, G, B byte order.
    kv::TBitmap24 loose(3, 2);
    loose.Row(1)[6] = 0x12;
    loose.Row(1)[7] = 0x34;
    loose.Row(1)[8] = 0x56;
    view.ShowBitmap(loose);
    loose.Resize(300, 300);  // frees the bytes shown
    EXPECT_EQ(view.Picture().pixel(2, 1) & 0xFFFFFF, 0x123456u);
}

TEST(PictureView, GuiNeverSeesAFrameAWorkerIsStillWriting) {
    // Two flat frames: any picture mixing their grey levels was read mid-Update.
    const std::vector<std::uint16_t> dim(128 * 128, 0x1000);
    const std::vector<std::uint16_t> bright(128 * 128, 0x8000);
    kv::TImageObject image(128, 128);
    TPictureView view;
    view.resize(128, 128);
    view.SetSource(&image);
    view.show();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            image.LoadPixels((i % 2 ? dim : bright).data());
            image.SetMagnification(1.0 + i % 3);  // resizes the zoom bitmap
            image.PutImage(view);
        }
        done = true;
    });
    int torn = 0;
    for (int i = 0; !done; ++i) {
        const QImage shown = i % 2 ? view.Picture() : view.grab().toImage();
        for (int y = 0; y < shown.height(); ++y) {
            torn += shown.pixel(0, y) != shown.pixel(0, 0) || shown.pixel(shown.width() - 1, y) != shown.pixel(0, 0);
        }
        QApplication::processEvents();
    }
    worker.join();
    EXPECT_EQ(torn, 0);
    std::lock_guard lock(image.Lock());
    ExpectShows(view.Picture(), image.ZoomBitmap());  // the last frame was magnified
}

TEST(PictureView, OverlayIsASilverOutlineAndSavesAsABitmapFile) {
    kv::TImageObject image(20, 16);
    TPictureView view;
    view.resize(20, 16);
    view.SetSource(&image);
    image.PutImage(view);
    view.SetOverlay(QRect(QPoint(3, 4), QPoint(10, 12)));
    for (const QImage& shown : {view.Picture(), view.grab().toImage()}) {
        for (QPoint p : {QPoint(3, 4), QPoint(10, 4), QPoint(3, 12), QPoint(10, 12), QPoint(6, 4), QPoint(3, 8)}) {
            EXPECT_TRUE(IsSilver(shown, p.x(), p.y())) << p.x() << "," << p.y();
        }
        for (QPoint p : {QPoint(4, 5), QPoint(2, 4), QPoint(11, 4), QPoint(3, 13), QPoint(9, 11)}) {
            EXPECT_FALSE(IsSilver(shown, p.x(), p.y())) << p.x() << "," << p.y();
        }
    }

    kv::test::TempDir dir;
    const QString path = QString::fromStdString((dir.Path() / "focus.bmp").string());
    ASSERT_TRUE(view.SavePicture(path));
    const std::string bytes = kv::test::ReadFile(path.toStdString());
    ASSERT_GT(bytes.size(), 30u);
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    EXPECT_EQ(static_cast<int>(bytes[28]), 24);  // bits per pixel
    const QImage saved(path, "BMP");
    EXPECT_EQ(saved.size(), QSize(20, 16));
    EXPECT_TRUE(IsSilver(saved, 10, 12));
    EXPECT_EQ(saved.pixel(4, 5) & 0xFFFFFF, 0u);

    view.SetOverlay(std::nullopt);
    EXPECT_FALSE(IsSilver(view.Picture(), 3, 4));
}

TEST(FocusZoom, OpensCentredClosesToHiddenAndShrinksOnDoubleClick) {
    QPointer<TFocusZoom> zoom = new TFocusZoom;
    EXPECT_TRUE(zoom->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(zoom->Image1()->Stretch());
    zoom->show();
    QApplication::processEvents();
    EXPECT_EQ(zoom->size(), QSize(202, 202));
    const QPoint offCentre = zoom->frameGeometry().center() - zoom->screen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 2);

    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(50, 50), QPointF(50, 50), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(zoom->Image1(), &dbl);
    QApplication::processEvents();
    EXPECT_EQ(zoom->size(), QSize(102, 102));
    EXPECT_EQ(zoom->Image1()->size(), QSize(102, 102));

    EXPECT_TRUE(zoom->close());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(zoom.isNull());
    EXPECT_FALSE(zoom->isVisible());
    delete zoom;
}
