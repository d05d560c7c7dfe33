#include "app/picture_view.h"

#include <QImageWriter>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QThread>

#include "widgets/night_vision.h"

namespace {

// The bitmap's bytes as an image, without copying them: rows top-down, R, G, B
// bytes per pixel, each row padded to the bitmap's stride.
QImage Wrap(const kv::TBitmap24& bitmap) {
    if (bitmap.Data() == nullptr || bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        return {};
    }
    return QImage(bitmap.Data(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), QImage::Format_RGB888);
}

// The overlay outline on `r` (picture pixels), for a picture of `pictureSize`
// drawn over `target`.
void DrawOverlay(QPainter& painter, const QRect& r, QSize pictureSize, const QRect& target, bool stretch) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(kv::ShownColor(QColor(TPictureView::kOverlayColor)), 0));
    painter.setBrush(Qt::NoBrush);
    // An aliased one-pixel outline of QRect(x, y, w, h) covers columns x..x+w,
    // so the outline on r's border pixels is drawn one smaller.
    if (!stretch || pictureSize.isEmpty()) {
        painter.drawRect(r.adjusted(0, 0, -1, -1));
    } else {
        const double sx = static_cast<double>(target.width()) / pictureSize.width();
        const double sy = static_cast<double>(target.height()) / pictureSize.height();
        const QRect scaled(QPoint(target.left() + static_cast<int>(r.left() * sx),
                                  target.top() + static_cast<int>(r.top() * sy)),
                           QPoint(target.left() + static_cast<int>((r.right() + 1) * sx) - 1,
                                  target.top() + static_cast<int>((r.bottom() + 1) * sy) - 1));
        painter.drawRect(scaled.adjusted(0, 0, -1, -1));
    }
    painter.restore();
}

}  // namespace

TPictureView::TPictureView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    // Every pixel is painted (picture or black), so nothing need be cleared first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TPictureView::~TPictureView() = default;

void TPictureView::SetSource(kv::TImageObject* image) {
    {
        std::lock_guard lock(mutex_);
        if (image == source_) {
            return;
        }
        source_ = image;
        // The old source's bitmap may be freed with it, and is no longer
        // guarded by the lock paint takes.
        shown_ = nullptr;
        wrapped_ = QImage();
    }
    update();
}

void TPictureView::SetStretch(bool stretch) {
    if (stretch_.exchange(stretch) != stretch) {
        RequestRepaint();
    }
}

void TPictureView::ShowBitmap(const kv::TBitmap24& bitmap) {
    {
        std::lock_guard lock(mutex_);
        if (source_ != nullptr && (&bitmap == &source_->DisplayBitmap() || &bitmap == &source_->ZoomBitmap())) {
            shown_ = &bitmap;
            copy_ = QImage();
            Rewrap();
        } else {
            shown_ = nullptr;
            wrapped_ = QImage();
            copy_ = Wrap(bitmap).copy();
            size_ = QSize(bitmap.Width(), bitmap.Height());
        }
    }
    RequestRepaint();
}

void TPictureView::Rewrap() const {
    const kv::TBitmap24& b = *shown_;
    if (!wrapped_.isNull() && wrapped_.constBits() == b.Data() && wrapped_.width() == b.Width() &&
        wrapped_.height() == b.Height() && wrapped_.bytesPerLine() == b.Stride()) {
        return;
    }
    wrapped_ = Wrap(b);
    size_ = QSize(b.Width(), b.Height());
}

template <class Draw>
void TPictureView::WithPicture(Draw&& draw) const {
    // source_ changes only on this (the GUI) thread, so it is read without mutex_.
    std::unique_lock<std::recursive_mutex> imageLock;
    if (source_ != nullptr) {
        imageLock = std::unique_lock<std::recursive_mutex>(source_->Lock());
    }
    std::lock_guard lock(mutex_);
    if (shown_ != nullptr) {
        Rewrap();
        draw(wrapped_, size_);
    } else {
        draw(copy_, size_);
    }
}

void TPictureView::RequestRepaint() {
    if (QThread::currentThread() == thread()) {
        update();
        return;
    }
    // One pending repaint is enough however many frames arrive before it runs.
    if (repaintPosted_.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            repaintPosted_.store(false);
            update();
        },
        Qt::QueuedConnection);
}

void TPictureView::SetOverlay(std::optional<QRect> r) {
    if (r == overlay_) {
        return;
    }
    overlay_ = r;
    update();
}

void TPictureView::ClearPicture() {
    {
        std::lock_guard lock(mutex_);
        shown_ = nullptr;
        wrapped_ = QImage();
        copy_ = QImage();
    }
    update();
}

QImage TPictureView::Picture() const {
    QImage out;
    WithPicture([&](const QImage& picture, QSize size) {
        if (!picture.isNull()) {
            out = picture.copy();
        } else if (!size.isEmpty()) {
            out = QImage(size, QImage::Format_RGB888);
            out.fill(Qt::black);
        }
    });
    if (!out.isNull() && overlay_) {
        QPainter painter(&out);
        DrawOverlay(painter, *overlay_, out.size(), out.rect(), false);
    }
    return out;
}

bool TPictureView::SavePicture(const QString& path, QString* why) const {
    const QImage picture = Picture();
    if (picture.isNull()) {
        if (why != nullptr) *why = QStringLiteral("there is no picture to save");
        return false;
    }
    QImageWriter writer(path, "BMP");
    if (writer.write(picture)) return true;
    if (why != nullptr) *why = writer.errorString();
    return false;
}

QSize TPictureView::PictureSize() const {
    std::lock_guard lock(mutex_);
    return size_;
}

QSize TPictureView::sizeHint() const {
    const QSize size = PictureSize();
    return size.isEmpty() ? QWidget::sizeHint() : size;
}

void TPictureView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect area = event->rect();
    WithPicture([&](const QImage& picture, QSize size) {
        // Read with the picture: PutImage sets it with the image locked, just
        // before it shows a magnified frame.
        const bool stretch = stretch_.load();
        if (picture.isNull()) {
            painter.fillRect(area, Qt::black);
        } else if (stretch) {
            // Nearest pixel, as a focus star is looked at pixel by pixel.
            painter.drawImage(rect(), picture);
        } else {
            // Only the exposed part: the main image can be far larger than
            // the part of it the scroll box shows.
            const QRect shown = area & picture.rect();
            if (!shown.isEmpty()) {
                painter.drawImage(shown.topLeft(), picture, shown);
            }
            for (const QRect& r : QRegion(area) - QRegion(shown)) {
                painter.fillRect(r, Qt::black);
            }
        }
        if (kv::NightVision()) {
            // Green and blue are cleared where they were drawn: a grey sky
            // keeps its levels in red, and nothing bright of another colour
            // reaches a dark-adapted eye.
            painter.save();
            painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
            painter.fillRect(area, QColor(255, 0, 0));
            painter.restore();
        }
        if (overlay_) {
            DrawOverlay(painter, *overlay_, size, rect(), stretch);
        }
    });
}

QPoint TPictureView::ToPicture(QPoint widgetPos) const {
    const QSize size = PictureSize();
    if (!stretch_.load() || size.isEmpty() || width() <= 0 || height() <= 0) {
        return widgetPos;
    }
    return {widgetPos.x() * size.width() / width(), widgetPos.y() * size.height() / height()};
}

void TPictureView::mousePressEvent(QMouseEvent* event) {
    emit mousePressed(ToPicture(event->position().toPoint()), event->button());
}

void TPictureView::mouseMoveEvent(QMouseEvent* event) { emit mouseMoved(ToPicture(event->position().toPoint())); }

void TPictureView::mouseDoubleClickEvent(QMouseEvent* /*event*/) { emit doubleClicked(); }
