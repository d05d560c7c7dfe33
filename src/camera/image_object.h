// One camera frame and everything needed to show it.
//
// TImageObject keeps the raw 16-bit frame a plug-in delivered and, derived
// from it, the statistics over the interior, the contrast stretch, the grey
// rendering and two 24-bit bitmaps (the display and the zoom). Derived data
// are computed lazily: whatever changes them clears IsUpdated, and the next
// statistic read or PutImage runs Update.
//
// Threads: Update, Clear, LoadPixels and the statistic reads take the
// object's re-entrant lock; Pixel, SetPixel and the setters do not. A reader of the bitmaps (the desktop
// wrapping them in a QImage) holds Lock() while it looks at them, because the
// next Update rewrites them in place.
//
// Two values left open by the stretch and rendering rules are fixed here:
// - when black equals white, table entry `black` is 0 (as every value up to
//   the white level is when white lies below black);
// - the last display position, which has no grey pixel after it, shows the
//   frame's last grey pixel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "kessivane/camera_plugin.h"

namespace kv {

// Working types of the image update, defined where it is.
namespace image_detail {
struct InteriorStats;
class StretchLevels;
}  // namespace image_detail

// A 24-bit top-down bitmap: three bytes per pixel (R, G, B; the same value
// for a grey image), each row padded to a multiple of 4 bytes. Data() and
// Stride() wrap directly into QImage(data, w, h, stride, QImage::Format_RGB888).
class TBitmap24 {
public:
    TBitmap24() = default;
    TBitmap24(int width, int height) { Resize(width, height); }

    // Sizes below 0 are taken as 0. The content after a resize is black.
    void Resize(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }
    // Bytes from one row to the next: 3 * Width rounded up to a multiple of 4.
    int Stride() const { return stride_; }
    const std::uint8_t* Data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
    std::uint8_t* Data() { return bytes_.empty() ? nullptr : bytes_.data(); }
    const std::uint8_t* Row(int y) const { return bytes_.data() + static_cast<std::size_t>(y) * stride_; }
    std::uint8_t* Row(int y) { return bytes_.data() + static_cast<std::size_t>(y) * stride_; }
    // Red byte of pixel (x, y) (grey value for the grey renderings); no bounds check.
    std::uint8_t GreyAt(int x, int y) const { return Row(y)[3 * x]; }

    static int StrideFor(int width) { return (3 * width + 3) & ~3; }

private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Where PutImage shows a frame: the desktop's picture control, or a test recorder.
class IPictureTarget {
public:
    virtual ~IPictureTarget() = default;
    // Make the target scale its picture to its own size.
    virtual void SetStretch(bool stretch) = 0;
    // Show this bitmap. Called with the image object's lock held; the bitmap is
    // rewritten by the next Update, so copy what must outlive the call.
    virtual void ShowBitmap(const TBitmap24& bitmap) = 0;
};

class TImageObject {
public:
    // A size that is not positive, or above 2^28 pixels, gives an empty 0 x 0
    // frame (the host refuses unusable camera sizes before it gets here).
    TImageObject(int width, int height);
    ~TImageObject();
    TImageObject(const TImageObject&) = delete;
    TImageObject& operator=(const TImageObject&) = delete;

    // ---- raw frame ----
    int Width() const { return width_; }
    int Height() const { return height_; }
    int NumPixels() const { return numPixels_; }
    // Row-major, pixel (x, y) at index y * Width() + x. Writers clear IsUpdated.
    std::uint16_t* Pixels() { return pixels_.data(); }
    const std::uint16_t* Pixels() const { return pixels_.data(); }
    // No bounds check: x in 0..Width-1, y in 0..Height-1.
    std::uint16_t Pixel(int x, int y) const { return pixels_[Index(x, y)]; }
    void SetPixel(int x, int y, std::uint16_t value);
    // Zero-fills the raw frame under the lock.
    void Clear();
    // Copies NumPixels() pixels from `source` under the lock and clears IsUpdated.
    void LoadPixels(const std::uint16_t* source);
    // How many times pixels were loaded: a plug-in that reports an image but
    // never loaded one leaves it unchanged.
    std::uint64_t LoadCount() const { return loads_.load(); }

    // ---- derived data (computed by Update) ----
    const std::vector<std::uint16_t>& StretchedPixels() const { return stretched_; }
    // Three bytes per pixel, NumPixels triples, the same grey byte three times.
    const std::vector<std::uint8_t>& GreyPixels() const { return grey_; }
    const TBitmap24& DisplayBitmap() const { return display_; }
    const TBitmap24& ZoomBitmap() const { return zoom_; }

    // Statistics over the interior; reading any of them runs Update first when
    // IsUpdated is clear.
    std::uint16_t Min();
    std::uint16_t Max();
    double Avg();
    int MinX();
    int MinY();
    int MaxX();
    int MaxY();
    // Levels in effect after the last Update.
    int AutoBlack() const { return autoBlack_.load(); }
    int AutoWhite() const { return autoWhite_.load(); }

    // ---- stretch settings: setters clear IsUpdated only when the value changes ----
    int Black() const { return black_.load(); }  // -1: automatic
    int White() const { return white_.load(); }  // -1: automatic
    bool StretchOn() const { return stretchOn_.load(); }
    double Gamma() const { return gamma_.load(); }
    double Magnification() const { return magnification_.load(); }
    void SetBlack(int value);
    void SetWhite(int value);
    void SetStretchOn(bool value);
    void SetGamma(double value);
    void SetMagnification(double value);

    double ExposureTime() const { return exposureTime_.load(); }
    void SetExposureTime(double seconds) { exposureTime_.store(seconds); }
    // When the frame's exposure began (UTC), for the saved file's header; the
    // epoch itself while no exposure has filled the frame.
    std::chrono::system_clock::time_point ExposureStart() const {
        return std::chrono::system_clock::time_point(std::chrono::system_clock::duration(exposureStart_.load()));
    }
    void SetExposureStart(std::chrono::system_clock::time_point t) { exposureStart_.store(t.time_since_epoch().count()); }
    // Where the focuser stood and what its temperature read when the
    // exposure began, for the saved file's header: the focuser may have
    // moved on before the frame is saved. nullopt when unknown.
    struct FocuserAtExposure {
        std::optional<std::int32_t> position;
        std::optional<double> temperature;
    };
    FocuserAtExposure FocuserAtStart() const {
        std::lock_guard lock(focuserAtStartMutex_);
        return focuserAtStart_;
    }
    void SetFocuserAtStart(const FocuserAtExposure& f) {
        std::lock_guard lock(focuserAtStartMutex_);
        focuserAtStart_ = f;
    }

    bool IsUpdated() const { return isUpdated_.load(); }
    void SetIsUpdated(bool value) { isUpdated_.store(value); }

    // Re-entrant: the owner may hold it around settings changes and PutImage.
    std::recursive_mutex& Lock() { return lock_; }

    // Recomputes statistics, levels, stretch, grey rendering and both bitmaps.
    void Update();
    // Builds the 65 536-entry table and applies it to StretchedPixels.
    void Stretch();
    // Rebuilds ZoomBitmap from DisplayBitmap for magnification m (values below
    // 1, and non-finite ones, are taken as 1).
    void Zoom(double m);
    // Updates when needed, then shows ZoomBitmap (stretched to the target) when
    // magnified, else DisplayBitmap.
    void PutImage(IPictureTarget& target);

    // The table Stretch uses for these levels; exposed for the stretch rules' tests.
    static std::vector<std::uint16_t> BuildStretchTable(int black, int white, double gamma);

    // The handle plug-ins know this object by (see KVImageObject).
    KVImageHandle Handle() { return reinterpret_cast<KVImageHandle>(this); }

private:
    std::size_t Index(int x, int y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
    }
    void UpdateIfNeeded();
    void StoreStatistics(const image_detail::InteriorStats& stats);
    // Logs the stretch's levels, and readies the table for them.
    image_detail::StretchLevels BeginStretch();
    // Maps pixels [begin, end) through the table into StretchedPixels.
    void StretchSpan(const image_detail::StretchLevels& levels, std::size_t begin, std::size_t end);
    // StretchedPixels (copied from the frame unless `levels` is given; the
    // statistics gathered on the way when `stats` is given), the grey
    // rendering, the display bitmap and, when `zoomToo`, the zoom at
    // magnification 1, row by row while each row is still in the cache.
    void RenderRows(const image_detail::StretchLevels* levels, image_detail::InteriorStats* stats, bool zoomToo);
    void DisplayRow(int y, bool zoomToo);

    int width_ = 0;
    int height_ = 0;
    int numPixels_ = 0;
    std::vector<std::uint16_t> pixels_;
    std::vector<std::uint8_t> bytes1_;  // allocated as the frame's companions; unused by the host
    std::vector<std::uint8_t> grey_;
    std::vector<std::uint8_t> bytes2_;
    std::vector<std::uint16_t> stretched_;

    std::uint16_t max_ = 0, min_ = 0;
    int maxX_ = 0, maxY_ = 0, minX_ = 0, minY_ = 0;
    double avg_ = 0.0;
    TBitmap24 display_;
    TBitmap24 zoom_;
    // Working space kept between updates: the stretch table (wider than its
    // 16-bit entries to mark those not yet worked out) and the zoom's source
    // column offsets.
    std::vector<std::uint32_t> table_;
    std::vector<int> zoomColumns_;

    std::atomic<bool> isUpdated_{false};
    std::atomic<std::uint64_t> loads_{0};
    std::atomic<bool> stretchOn_{false};
    std::atomic<int> black_{-1};
    std::atomic<int> white_{-1};
    std::atomic<double> gamma_{1.0};
    std::atomic<double> magnification_{1.0};
    std::atomic<double> exposureTime_{0.0};
    std::atomic<std::chrono::system_clock::rep> exposureStart_{0};
    mutable std::mutex focuserAtStartMutex_;
    FocuserAtExposure focuserAtStart_;
    std::atomic<int> autoBlack_{0};
    std::atomic<int> autoWhite_{0};
    std::recursive_mutex lock_;
};

// TKVImageObject: the image object interface handed to plug-ins, in process.
// It exposes one TImageObject (the attached one) through KVImageObject's
// function table. Handles are checked against the live image objects, so a
// stale or made-up handle gives KV_E_HANDLE instead of a stray write.
class TKVImageObject {
public:
    TKVImageObject();
    explicit TKVImageObject(TImageObject* attached);
    TKVImageObject(const TKVImageObject&) = delete;
    TKVImageObject& operator=(const TKVImageObject&) = delete;

    // The pointer to pass to DLLGetImageObject / DLLGetFocusObject.
    KVImageObject* Interface() { return &iface_; }

    void Attach(TImageObject* image);
    bool Attached() const { return attached_; }
    KVImageHandle ImageObject() const { return imageObject_; }

private:
    friend struct KVImageObjectThunks;
    KVImageObject iface_{};
    KVImageHandle imageObject_ = nullptr;
    bool attached_ = false;
};

}  // namespace kv
