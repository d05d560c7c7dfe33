// The picture control camera frames are shown in: the main image and focus
// displays (1:1, top-left) and the zoom window's picture (stretched).
//
// It shows the image object's own 24-bit bitmap without copying its pixels,
// so who may read that bitmap when matters:
// - PutImage calls ShowBitmap holding the image object's lock, on whichever
//   thread delivered the frame (often a camera worker). ShowBitmap only
//   records which bitmap to show and posts a repaint: it never touches the
//   widget off the GUI thread and never waits for the GUI thread.
// - The next Update rewrites that bitmap in place, and a magnification change
//   reallocates the zoom bitmap. Update holds the same lock throughout, so
//   paintEvent and Picture read the bitmap only while holding the source's
//   Lock(), and re-read its address, size and stride there before drawing:
//   what they draw is one whole frame, never a freed or half-written buffer.
// - The GUI thread may thus wait for a worker's Update to finish (the lock is
//   only held for that one frame's work), but a worker holding the lock never
//   waits for the GUI thread, so the two cannot deadlock.
// - A bitmap that is not the source's (or shown before any SetSource) has no
//   lock to guard it later, so ShowBitmap copies that one.
// - Lock order: the image object's lock, then the view's own mutex.
// - Lifetimes: SetSource(nullptr) (or another image) before freeing the
//   source, and stop the workers that PutImage into a view before freeing it.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <atomic>
#include <mutex>
#include <optional>

#include "camera/image_object.h"

class TPictureView : public QWidget, public kv::IPictureTarget {
    Q_OBJECT
public:
    explicit TPictureView(QWidget* parent = nullptr);
    ~TPictureView() override;

    // The image object whose bitmaps this view shows (GUI thread). A change of
    // source drops a picture of the previous one: black until the next ShowBitmap.
    void SetSource(kv::TImageObject* image);
    kv::TImageObject* Source() const { return source_; }

    // Any thread. Stretched: the picture is scaled to the widget; otherwise it
    // is drawn 1:1 at the top-left and the rest of the widget is black.
    void SetStretch(bool stretch) override;
    bool Stretch() const { return stretch_.load(); }
    // Any thread, with the bitmap's image object locked (as PutImage does).
    void ShowBitmap(const kv::TBitmap24& bitmap) override;

    // An unfilled silver outline over the picture, in picture pixels, on the
    // border pixels of `r` (columns left() and right(), rows top() and
    // bottom(), both included); std::nullopt removes it. GUI thread.
    void SetOverlay(std::optional<QRect> r);
    std::optional<QRect> Overlay() const { return overlay_; }
    static constexpr QRgb kOverlayColor = 0xC0C0C0;

    // Shows black at the size of the last picture. GUI thread.
    void ClearPicture();
    // A copy of what is shown, at the picture's own size, overlay included;
    // a null image before anything was shown. GUI thread.
    QImage Picture() const;
    // Writes Picture() as a Windows bitmap file; false when nothing is shown
    // or the file cannot be written, with the reason in `why`.
    bool SavePicture(const QString& path, QString* why = nullptr) const;
    // Size of the picture last shown (0 x 0 before the first).
    QSize PictureSize() const;

    QSize sizeHint() const override;

signals:
    // Positions are picture pixels (scaled back when stretched).
    void mousePressed(QPoint pos, Qt::MouseButton button);
    void mouseMoved(QPoint pos);
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Runs draw(picture, size) with the source locked: `picture` wraps the
    // current bitmap (or is the copy), null when black is to be shown.
    template <class Draw>
    void WithPicture(Draw&& draw) const;
    // Wraps shown_'s current bytes again when Update moved or resized them.
    // Needs the source's lock and mutex_.
    void Rewrap() const;
    QPoint ToPicture(QPoint widgetPos) const;
    void RequestRepaint();

    // Written on the GUI thread under mutex_; read by ShowBitmap under mutex_.
    kv::TImageObject* source_ = nullptr;
    std::atomic<bool> stretch_{false};
    std::atomic<bool> repaintPosted_{false};
    // GUI thread only.
    std::optional<QRect> overlay_;

    mutable std::mutex mutex_;
    // Guarded by mutex_. shown_ is one of source_'s bitmaps (its bytes read
    // only under source_'s lock) or null; copy_ holds a bitmap of no source.
    const kv::TBitmap24* shown_ = nullptr;
    mutable QImage wrapped_;
    QImage copy_;
    mutable QSize size_;
};
