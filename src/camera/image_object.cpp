#include "camera/image_object.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

#include "shell/log_channel.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KV_X86_SIMD 1
#else
#define KV_X86_SIMD 0
#endif

namespace kv {

namespace {

// Every live TImageObject, so handles coming back from a plug-in can be
// checked before they are dereferenced. Thunks hold the registry lock while
// they work on an object, so the object cannot be freed under them.
std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}
std::unordered_set<const void*>& LiveImages() {
    static std::unordered_set<const void*> live;
    return live;
}
TImageObject* FindLive(KVImageHandle handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    const void* key = handle;
    return LiveImages().count(key) != 0 ? reinterpret_cast<TImageObject*>(handle) : nullptr;
}

int RoundHalfEven(double v) { return static_cast<int>(std::nearbyint(v)); }

int Clamp16(int v) { return std::clamp(v, 0, 65535); }

// A stretch table entry that is still to be worked out.
constexpr std::uint32_t kNotWorkedOut = 0xFFFFFFFFu;

// A frame too large to index with an int has no pixels at all.
constexpr std::int64_t kMaxFramePixels = std::int64_t{1} << 28;
bool SizeFits(int width, int height) {
    return width > 0 && height > 0 && static_cast<std::int64_t>(width) * height <= kMaxFramePixels;
}

}  // namespace

namespace image_detail {

// One stretch: levels clamped to 0..65535 and a usable gamma. Entries below
// black are 0 and above white 65535 (that run wins where they overlap, so white
// below black is a threshold); with black equal to white, entry `black` is 0.
class StretchLevels {
public:
    StretchLevels(int black, int white, double gamma)
        : black_(Clamp16(black)), white_(Clamp16(white)), range_(white_ - black_) {
        // A gamma that is not a positive number has no meaning; show the plain ramp.
        if (!(gamma > 0.0) || !std::isfinite(gamma)) {
            gamma = 1.0;
        }
        e_ = 1.0 / gamma;
    }
    // Entries black..white, when black is below white, follow the gamma curve.
    bool OnRamp(int v) const { return range_ > 0 && v >= black_ && v <= white_; }
    // The end of the run of entries from v on that are all below black, all
    // on the ramp, or all above white.
    int NextRun(int v) const {
        if (v > white_) {
            return 65536;
        }
        if (OnRamp(v)) {
            return white_ + 1;
        }
        return range_ > 0 && v < black_ ? black_ : white_ + 1;
    }
    std::uint16_t Entry(int v) const {
        if (v > white_) {
            return 65535;
        }
        if (!OnRamp(v)) {
            return 0;
        }
        const double r = static_cast<double>(v - black_) / range_;
        const double value = std::clamp(65535.0 * std::pow(r, e_), 0.0, 65535.0);
        return static_cast<std::uint16_t>(std::nearbyint(value));
    }

private:
    int black_;
    int white_;
    int range_;
    double e_ = 1.0;
};

struct InteriorStats {
    std::uint16_t max = 0, min = 65535;
    int maxX = 0, maxY = 0, minX = 0, minY = 0;
    std::int64_t sum = 0;
};

}  // namespace image_detail

using image_detail::InteriorStats;
using image_detail::StretchLevels;

namespace {

// Adds interior row y to the statistics: columns 1..width-1 (the last column
// is part of the interior). The brightest and the faintest non-zero pixel are
// the first of their value in row-major order, so the row is first reduced
// to its extremes and searched for a position only when it improves on the
// rows before it.
void ScanRow(const std::uint16_t* row, int width, int y, InteriorStats& s) {
    std::uint16_t rowMax = 0;
    // v - 1 wraps 0 to 65535, so its minimum is the smallest non-zero value less one.
    std::uint16_t rowMinLess1 = 65535;
    int x = 1;
#if KV_X86_SIMD
    // Eight pixels at a time. The instructions compare signed words, so values
    // are biased by 0x8000 (order kept); multiply-adding the biased values by 1
    // sums pairs into 32-bit lanes, and the bias is added back at the end.
    {
        const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
        const __m128i one = _mm_set1_epi16(1);
        __m128i vMax = _mm_set1_epi16(static_cast<short>(0x8000));
        __m128i vMinLess1 = _mm_set1_epi16(0x7FFF);
        std::int64_t biasedSum = 0;
        while (x + 8 <= width) {
            // At most 16 384 steps per 32-bit lane batch: each adds at most 2^16.
            const int end = std::min(width - 7, x + 8 * 16384);
            __m128i acc = _mm_setzero_si128();
            for (; x < end; x += 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
                const __m128i biased = _mm_xor_si128(v, bias);
                vMax = _mm_max_epi16(vMax, biased);
                vMinLess1 = _mm_min_epi16(vMinLess1, _mm_xor_si128(_mm_sub_epi16(v, one), bias));
                acc = _mm_add_epi32(acc, _mm_madd_epi16(biased, one));
            }
            alignas(16) std::int32_t lanes[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
            biasedSum += std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
        }
        alignas(16) std::uint16_t maxLanes[8];
        alignas(16) std::uint16_t minLanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(maxLanes), _mm_xor_si128(vMax, bias));
        _mm_store_si128(reinterpret_cast<__m128i*>(minLanes), _mm_xor_si128(vMinLess1, bias));
        for (int k = 0; k < 8; ++k) {
            rowMax = std::max(rowMax, maxLanes[k]);
            rowMinLess1 = std::min(rowMinLess1, minLanes[k]);
        }
        s.sum += biasedSum + std::int64_t{32768} * (x - 1);
    }
#endif
    for (; x <= width - 1; ++x) {
        const std::uint16_t v = row[x];
        s.sum += v;
        rowMax = std::max(rowMax, v);
        rowMinLess1 = std::min(rowMinLess1, static_cast<std::uint16_t>(v - 1));
    }
    if (rowMax > s.max) {
        s.max = rowMax;
        s.maxX = static_cast<int>(std::find(row + 1, row + width, rowMax) - row);
        s.maxY = y;
    }
    const auto rowMin = static_cast<std::uint16_t>(rowMinLess1 + 1);
    if (rowMinLess1 != 65535 && rowMin < s.min) {
        s.min = rowMin;
        s.minX = static_cast<int>(std::find(row + 1, row + width, rowMin) - row);
        s.minY = y;
    }
}

}  // namespace

// ---------------------------------------------------------------- TBitmap24

void TBitmap24::Resize(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    stride_ = StrideFor(width_);
    bytes_.assign(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_), 0);
}

// -------------------------------------------------------------- TImageObject

TImageObject::TImageObject(int width, int height)
    : width_(SizeFits(width, height) ? width : 0),
      height_(SizeFits(width, height) ? height : 0),
      numPixels_(width_ * height_) {
    const auto n = static_cast<std::size_t>(numPixels_);
    pixels_.assign(n, 0);
    bytes1_.assign(n, 0);
    grey_.assign(3 * n, 0);
    bytes2_.assign(n, 0);
    stretched_.assign(n, 0);
    display_.Resize(width_, height_);
    zoom_.Resize(width_, height_);
    std::lock_guard registry(RegistryMutex());
    LiveImages().insert(this);
}

TImageObject::~TImageObject() {
    std::lock_guard registry(RegistryMutex());
    LiveImages().erase(this);
}

void TImageObject::SetPixel(int x, int y, std::uint16_t value) {
    pixels_[Index(x, y)] = value;
    isUpdated_.store(false);
}

void TImageObject::Clear() {
    std::lock_guard lock(lock_);
    std::fill(pixels_.begin(), pixels_.end(), std::uint16_t{0});
    isUpdated_.store(false);
}

void TImageObject::LoadPixels(const std::uint16_t* source) {
    std::lock_guard lock(lock_);
    if (!pixels_.empty()) {
        std::memcpy(pixels_.data(), source, pixels_.size() * sizeof(std::uint16_t));
    }
    loads_.fetch_add(1);
    isUpdated_.store(false);
}

void TImageObject::UpdateIfNeeded() {
    if (!isUpdated_.load()) {
        Update();
    }
}

std::uint16_t TImageObject::Min() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return min_;
}
std::uint16_t TImageObject::Max() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return max_;
}
double TImageObject::Avg() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return avg_;
}
int TImageObject::MinX() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return minX_;
}
int TImageObject::MinY() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return minY_;
}
int TImageObject::MaxX() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return maxX_;
}
int TImageObject::MaxY() {
    std::lock_guard lock(lock_);
    UpdateIfNeeded();
    return maxY_;
}

void TImageObject::SetBlack(int value) {
    if (black_.exchange(value) != value) {
        isUpdated_.store(false);
    }
}
void TImageObject::SetWhite(int value) {
    if (white_.exchange(value) != value) {
        isUpdated_.store(false);
    }
}
void TImageObject::SetStretchOn(bool value) {
    if (stretchOn_.exchange(value) != value) {
        isUpdated_.store(false);
    }
}
void TImageObject::SetGamma(double value) {
    if (gamma_.exchange(value) != value) {
        isUpdated_.store(false);
    }
}
void TImageObject::SetMagnification(double value) {
    if (magnification_.exchange(value) != value) {
        isUpdated_.store(false);
    }
}

namespace {

// Writes each value's high byte three times: out[3i..3i+2] = in[i] >> 8.
void RenderGreyPlain(const std::uint16_t* in, std::size_t n, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto g = static_cast<std::uint8_t>(in[i] >> 8);
        out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = g;
    }
}

#if KV_X86_SIMD
// Sixteen pixels at a time: their high bytes packed into one register, then
// spread to 48 bytes by three byte shuffles.
__attribute__((target("ssse3"))) void RenderGreySsse3(const std::uint16_t* in, std::size_t n, std::uint8_t* out) {
    const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i lo = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), 8);
        const __m128i hi = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8)), 8);
        const __m128i g = _mm_packus_epi16(lo, hi);
        auto* o = reinterpret_cast<__m128i*>(out + 3 * i);
        _mm_storeu_si128(o, _mm_shuffle_epi8(g, spread0));
        _mm_storeu_si128(o + 1, _mm_shuffle_epi8(g, spread1));
        _mm_storeu_si128(o + 2, _mm_shuffle_epi8(g, spread2));
    }
    RenderGreyPlain(in + i, n - i, out + 3 * i);
}
#endif

void RenderGrey(const std::uint16_t* in, std::size_t n, std::uint8_t* out) {
#if KV_X86_SIMD
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        RenderGreySsse3(in, n, out);
        return;
    }
#endif
    RenderGreyPlain(in, n, out);
}

}  // namespace

void TImageObject::Update() {
    std::lock_guard lock(lock_);
    WriteProgramLog("In TimageObject.Update method", LogKind::Trace);
    autoBlack_.store(0);
    autoWhite_.store(65535);

    double m = magnification_.load();
    if (!(m >= 1.0) || !std::isfinite(m)) {
        m = 1.0;  // as Zoom takes it
    }
    // At magnification 1 the zoom is a copy of the display, made alongside it;
    // otherwise Zoom rewrites the whole zoom bitmap, so no zoom at 1 precedes it.
    const bool zoomInline = m == 1.0;
    if (zoomInline && (zoom_.Width() != width_ || zoom_.Height() != height_)) {
        zoom_.Resize(width_, height_);
    }
    InteriorStats stats;
    if (stretchOn_.load()) {
        // The stretch levels come from the statistics of the whole frame.
        for (int y = 1; y <= height_ - 2; ++y) {
            ScanRow(pixels_.data() + Index(0, y), width_, y, stats);
        }
        StoreStatistics(stats);
        const StretchLevels levels = BeginStretch();
        RenderRows(&levels, nullptr, zoomInline);
        WriteProgramLog("Array transformation successful", LogKind::Trace);
    } else {
        RenderRows(nullptr, &stats, zoomInline);
        StoreStatistics(stats);
    }
    if (!zoomInline) {
        Zoom(m);
    }
    isUpdated_.store(true);
}

void TImageObject::StoreStatistics(const InteriorStats& stats) {
    max_ = stats.max;
    min_ = stats.min;
    maxX_ = stats.maxX;
    maxY_ = stats.maxY;
    minX_ = stats.minX;
    minY_ = stats.minY;
    // Divided by the whole pixel count, as the displayed average always was.
    avg_ = numPixels_ > 0 ? static_cast<double>(stats.sum) / numPixels_ : 0.0;
    // Every frame's statistics: the log keeps them, the Results view leaves
    // them out like the other per-frame lines (a scan takes dozens of frames).
    WriteProgramLog("Image stats:  Min=" + std::to_string(min_) + " Max=" + std::to_string(max_) +
                        " NumPixels=" + std::to_string(numPixels_),
                    LogKind::Trace);

    const int black = black_.load();
    if (black == -1) {
        const double t = min_ * 1.05;
        autoBlack_.store(t >= 1.0 ? RoundHalfEven(t) : 0);
    } else {
        autoBlack_.store(black);
    }
    const int white = white_.load();
    if (white == -1) {
        const double t = max_ * 0.95;
        autoWhite_.store(t >= 1.0 ? RoundHalfEven(t) : 65535);
    } else {
        autoWhite_.store(white);
    }
}

void TImageObject::RenderRows(const StretchLevels* levels, InteriorStats* stats, bool zoomToo) {
    const std::size_t w = static_cast<std::size_t>(width_);
    for (int y = 0; y < height_; ++y) {
        const std::size_t begin = Index(0, y);
        if (levels != nullptr) {
            StretchSpan(*levels, begin, begin + w);
        } else {
            if (stats != nullptr && y >= 1 && y <= height_ - 2) {
                ScanRow(pixels_.data() + begin, width_, y, *stats);
            }
            std::memcpy(stretched_.data() + begin, pixels_.data() + begin, w * sizeof(std::uint16_t));
        }
        RenderGrey(stretched_.data() + begin, w, grey_.data() + 3 * begin);
        if (y > 0) {
            DisplayRow(y - 1, zoomToo);
        }
    }
    if (height_ > 0) {
        DisplayRow(height_ - 1, zoomToo);
    }
}

void TImageObject::DisplayRow(int y, bool zoomToo) {
    // Display position k shows grey pixel k + 1: the picture sits one pixel to
    // the left and each row's last position shows the next row's first pixel,
    // so a display row is one run of the grey rendering. The very last
    // position shows the frame's own last pixel.
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(width_);
    const std::uint8_t* from = grey_.data() + rowBytes * static_cast<std::size_t>(y) + 3;
    std::uint8_t* out = display_.Row(y);
    if (y + 1 < height_) {
        std::memcpy(out, from, rowBytes);
    } else {
        std::memcpy(out, from, rowBytes - 3);
        std::memcpy(out + rowBytes - 3, grey_.data() + grey_.size() - 3, 3);
    }
    if (zoomToo) {
        std::memcpy(zoom_.Row(y), out, rowBytes);
    }
}

std::vector<std::uint16_t> TImageObject::BuildStretchTable(int black, int white, double gamma) {
    const StretchLevels levels(black, white, gamma);
    std::vector<std::uint16_t> table(65536);
    for (int v = 0; v < 65536; ++v) {
        table[static_cast<std::size_t>(v)] = levels.Entry(v);
    }
    return table;
}

StretchLevels TImageObject::BeginStretch() {
    WriteProgramLog("In TImageObject.Stretch method", LogKind::Trace);
    const int black = Clamp16(black_.load() != -1 ? black_.load() : autoBlack_.load());
    const int white = Clamp16(white_.load() != -1 ? white_.load() : autoWhite_.load());
    WriteProgramLog("Thresholds: " + std::to_string(black) + "  " + std::to_string(white), LogKind::Trace);
    WriteProgramLog("Comupting LUT", LogKind::Trace);
    // Entries outside the ramp are constants; those on it cost a pow each, so
    // they are worked out the first time a pixel needs them. A frame uses a
    // small part of the 65 536 values, and the result is the full table's.
    const StretchLevels levels(black, white, gamma_.load());
    table_.resize(65536);
    for (int v = 0; v < 65536; v = levels.NextRun(v)) {
        // Off the ramp every entry of a run is the same constant.
        std::fill(table_.begin() + v, table_.begin() + levels.NextRun(v),
                  levels.OnRamp(v) ? kNotWorkedOut : std::uint32_t{levels.Entry(v)});
    }
    WriteProgramLog("LUT created", LogKind::Trace);
    return levels;
}

void TImageObject::StretchSpan(const StretchLevels& levels, std::size_t begin, std::size_t end) {
    const std::uint16_t* in = pixels_.data();
    std::uint16_t* out = stretched_.data();
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t v = in[i];
        std::uint32_t entry = table_[v];
        if (entry == kNotWorkedOut) {
            entry = levels.Entry(v);
            table_[v] = entry;
        }
        out[i] = static_cast<std::uint16_t>(entry);
    }
}

void TImageObject::Stretch() {
    std::lock_guard lock(lock_);
    const StretchLevels levels = BeginStretch();
    StretchSpan(levels, 0, pixels_.size());
    WriteProgramLog("Array transformation successful", LogKind::Trace);
}

void TImageObject::Zoom(double m) {
    std::lock_guard lock(lock_);
    if (!(m >= 1.0) || !std::isfinite(m)) {
        m = 1.0;
    }
    const double f = (m - 1.0) * (m - 1.0) / (m * m);
    int x0 = RoundHalfEven(width_ * f);
    int y0 = RoundHalfEven(height_ * f);
    const int zw = RoundHalfEven(width_ / m);
    const int zh = RoundHalfEven(height_ / m);
    // Every pixel byte is written below; the padding stays 0 from the resize.
    if (zoom_.Width() != zw || zoom_.Height() != zh) {
        zoom_.Resize(zw, zh);
    }
    if (zw == 0 || zh == 0 || width_ == 0 || height_ == 0) {
        return;
    }
    // Source rectangle from (x0, y0) to (Width - x0 - 1, Height - y0 - 1), both
    // corners included, so magnification 1 copies the whole frame pixel for
    // pixel. A tiny frame at a high magnification keeps at least its middle pixel.
    int sw = width_ - 2 * x0;
    int sh = height_ - 2 * y0;
    if (sw < 1) {
        x0 = (width_ - 1) / 2;
        sw = 1;
    }
    if (sh < 1) {
        y0 = (height_ - 1) / 2;
        sh = 1;
    }
    const bool sameColumns = sw == zw;  // then source column = x0 + dx
    if (!sameColumns) {
        zoomColumns_.resize(static_cast<std::size_t>(zw));
        for (int dx = 0; dx < zw; ++dx) {
            zoomColumns_[static_cast<std::size_t>(dx)] = 3 * (x0 + static_cast<int>(static_cast<std::int64_t>(dx) * sw / zw));
        }
    }
    for (int dy = 0; dy < zh; ++dy) {
        const int sy = y0 + static_cast<int>(static_cast<std::int64_t>(dy) * sh / zh);
        const std::uint8_t* in = display_.Row(sy);
        std::uint8_t* out = zoom_.Row(dy);
        if (sameColumns) {
            std::memcpy(out, in + 3 * x0, 3 * static_cast<std::size_t>(zw));
            continue;
        }
        for (int dx = 0; dx < zw; ++dx) {
            std::memcpy(out + 3 * dx, in + zoomColumns_[static_cast<std::size_t>(dx)], 3);
        }
    }
}

void TImageObject::PutImage(IPictureTarget& target) {
    WriteProgramLog("In TImageObject.PutImage method (Image size=" + std::to_string(numPixels_) + ")", LogKind::Trace);
    std::lock_guard lock(lock_);
    if (!isUpdated_.load()) {
        Update();
    }
    if (magnification_.load() != 1.0) {
        target.SetStretch(true);
        target.ShowBitmap(zoom_);
    } else {
        target.ShowBitmap(display_);
    }
}

// ------------------------------------------------------------ TKVImageObject

struct KVImageObjectThunks {
    static TKVImageObject* Owner(KVImageObject* self) {
        return self != nullptr ? static_cast<TKVImageObject*>(self->Self) : nullptr;
    }

    // Runs `body` on the attached image under the registry lock; with nothing
    // attached the out value keeps its zero and the call succeeds.
    template <typename Body>
    static int32_t WithAttached(KVImageObject* self, Body body) {
        try {
            TKVImageObject* owner = Owner(self);
            if (owner == nullptr) {
                return KV_E_POINTER;
            }
            if (!owner->attached_) {
                return KV_S_OK;
            }
            std::lock_guard registry(RegistryMutex());
            TImageObject* image = FindLive(owner->imageObject_);
            if (image == nullptr) {
                return KV_E_HANDLE;
            }
            body(*image);
            return KV_S_OK;
        } catch (...) {
            return KV_E_FAIL;
        }
    }

    static int32_t LoadArray(KVImageObject* self, KVImageHandle handle, const uint16_t* pixels) {
        try {
            if (Owner(self) == nullptr || pixels == nullptr) {
                return KV_E_POINTER;
            }
            std::lock_guard registry(RegistryMutex());
            TImageObject* image = FindLive(handle);
            if (image == nullptr) {
                return KV_E_HANDLE;
            }
            image->LoadPixels(pixels);
            return KV_S_OK;
        } catch (...) {
            return KV_E_FAIL;
        }
    }
    static int32_t GetIsUpdated(KVImageObject* self, int32_t* value) {
        if (value == nullptr) {
            return KV_E_POINTER;
        }
        *value = KV_VARIANT_FALSE;
        return WithAttached(self, [&](TImageObject& image) {
            *value = image.IsUpdated() ? KV_VARIANT_TRUE : KV_VARIANT_FALSE;
        });
    }
    static int32_t SetIsUpdated(KVImageObject* self, int32_t value) {
        return WithAttached(self, [&](TImageObject& image) { image.SetIsUpdated(value != 0); });
    }
    static int32_t GetHorizWords(KVImageObject* self, int32_t* value) {
        if (value == nullptr) {
            return KV_E_POINTER;
        }
        *value = 0;
        return WithAttached(self, [&](TImageObject& image) { *value = image.Width(); });
    }
    static int32_t GetVertWords(KVImageObject* self, int32_t* value) {
        if (value == nullptr) {
            return KV_E_POINTER;
        }
        *value = 0;
        return WithAttached(self, [&](TImageObject& image) { *value = image.Height(); });
    }
    static int32_t GetExposureTime(KVImageObject* self, double* seconds) {
        if (seconds == nullptr) {
            return KV_E_POINTER;
        }
        *seconds = 0.0;
        return WithAttached(self, [&](TImageObject& image) { *seconds = image.ExposureTime(); });
    }
    static int32_t SetExposureTime(KVImageObject* self, double seconds) {
        return WithAttached(self, [&](TImageObject& image) { image.SetExposureTime(seconds); });
    }
    static int32_t GetImageObject(KVImageObject* self, KVImageHandle* value) {
        TKVImageObject* owner = Owner(self);
        if (owner == nullptr || value == nullptr) {
            return KV_E_POINTER;
        }
        *value = owner->imageObject_;
        return KV_S_OK;
    }
    static int32_t SetImageObject(KVImageObject* self, KVImageHandle value) {
        try {
            TKVImageObject* owner = Owner(self);
            if (owner == nullptr) {
                return KV_E_POINTER;
            }
            if (value == nullptr) {
                owner->imageObject_ = nullptr;
                owner->attached_ = false;
                return KV_S_OK;
            }
            std::lock_guard registry(RegistryMutex());
            if (FindLive(value) == nullptr) {
                return KV_E_HANDLE;
            }
            owner->imageObject_ = value;
            owner->attached_ = true;
            return KV_S_OK;
        } catch (...) {
            return KV_E_FAIL;
        }
    }
};

TKVImageObject::TKVImageObject() {
    iface_.StructSize = sizeof(KVImageObject);
    iface_.InterfaceVersion = KV_IMAGE_OBJECT_VERSION;
    iface_.Self = this;
    iface_.LoadArray = &KVImageObjectThunks::LoadArray;
    iface_.GetIsUpdated = &KVImageObjectThunks::GetIsUpdated;
    iface_.SetIsUpdated = &KVImageObjectThunks::SetIsUpdated;
    iface_.GetHorizWords = &KVImageObjectThunks::GetHorizWords;
    iface_.GetExposureTime = &KVImageObjectThunks::GetExposureTime;
    iface_.SetExposureTime = &KVImageObjectThunks::SetExposureTime;
    iface_.GetImageObject = &KVImageObjectThunks::GetImageObject;
    iface_.SetImageObject = &KVImageObjectThunks::SetImageObject;
    iface_.GetVertWords = &KVImageObjectThunks::GetVertWords;
}

TKVImageObject::TKVImageObject(TImageObject* attached) : TKVImageObject() { Attach(attached); }

void TKVImageObject::Attach(TImageObject* image) {
    imageObject_ = image != nullptr ? image->Handle() : nullptr;
    attached_ = image != nullptr;
}

}  // namespace kv
