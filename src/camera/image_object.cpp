#include "camera/image_object.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

#include "shell/log_channel.h"

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

// A frame too large to index with an int has no pixels at all.
constexpr std::int64_t kMaxFramePixels = std::int64_t{1} << 28;
bool SizeFits(int width, int height) {
    return width > 0 && height > 0 && static_cast<std::int64_t>(width) * height <= kMaxFramePixels;
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

void TImageObject::Update() {
    std::lock_guard lock(lock_);
    WriteProgramLog("In TimageObject.Update method");
    stretched_ = pixels_;

    autoBlack_.store(0);
    autoWhite_.store(65535);
    min_ = 65535;
    max_ = 0;
    minX_ = minY_ = maxX_ = maxY_ = 0;
    std::int64_t sum = 0;
    // The interior leaves out the first row, the first column and the last
    // row; the last column is part of it.
    for (int y = 1; y <= height_ - 2; ++y) {
        const std::uint16_t* row = pixels_.data() + Index(0, y);
        for (int x = 1; x <= width_ - 1; ++x) {
            const std::uint16_t v = row[x];
            sum += v;
            if (v > max_) {
                max_ = v;
                maxX_ = x;
                maxY_ = y;
            }
            if (v < min_ && v > 0) {
                min_ = v;
                minX_ = x;
                minY_ = y;
            }
        }
    }
    // Divided by the whole pixel count, as the displayed average always was.
    avg_ = numPixels_ > 0 ? static_cast<double>(sum) / numPixels_ : 0.0;
    WriteProgramLog("Image stats:  Min=" + std::to_string(min_) + " Max=" + std::to_string(max_) +
                    " NumPixels=" + std::to_string(numPixels_));

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

    if (stretchOn_.load()) {
        Stretch();
    }
    for (std::size_t i = 0; i < stretched_.size(); ++i) {
        const auto g = static_cast<std::uint8_t>(stretched_[i] >> 8);
        grey_[3 * i] = g;
        grey_[3 * i + 1] = g;
        grey_[3 * i + 2] = g;
    }
    RenderDisplay();
    Zoom(1.0);
    const double m = magnification_.load();
    if (m != 1.0) {
        Zoom(m);
    }
    isUpdated_.store(true);
}

void TImageObject::RenderDisplay() {
    // Display position k shows grey pixel k + 1: the picture sits one pixel to
    // the left and each row's last position shows the next row's first pixel.
    // The very last position shows the frame's own last pixel.
    const std::size_t n = static_cast<std::size_t>(numPixels_);
    std::size_t k = 0;
    for (int y = 0; y < height_; ++y) {
        std::uint8_t* out = display_.Row(y);
        for (int x = 0; x < width_; ++x, ++k) {
            const std::size_t src = k + 1 < n ? k + 1 : n - 1;
            std::memcpy(out + 3 * x, grey_.data() + 3 * src, 3);
        }
    }
}

std::vector<std::uint16_t> TImageObject::BuildStretchTable(int black, int white, double gamma) {
    black = Clamp16(black);
    white = Clamp16(white);
    // A gamma that is not a positive number has no meaning; show the plain ramp.
    if (!(gamma > 0.0) || !std::isfinite(gamma)) {
        gamma = 1.0;
    }
    // Zero-filled: with black equal to white, entry `black` stays 0.
    std::vector<std::uint16_t> table(65536, 0);
    std::fill(table.begin() + white + 1, table.end(), std::uint16_t{65535});
    const double e = 1.0 / gamma;
    const int range = white - black;
    if (range != 0) {
        for (int v = black; v <= white; ++v) {
            const double r = static_cast<double>(v - black) / range;
            const double value = std::clamp(65535.0 * std::pow(r, e), 0.0, 65535.0);
            table[static_cast<std::size_t>(v)] = static_cast<std::uint16_t>(std::nearbyint(value));
        }
    }
    return table;
}

void TImageObject::Stretch() {
    std::lock_guard lock(lock_);
    WriteProgramLog("In TImageObject.Stretch method");
    const int black = Clamp16(black_.load() != -1 ? black_.load() : autoBlack_.load());
    const int white = Clamp16(white_.load() != -1 ? white_.load() : autoWhite_.load());
    WriteProgramLog("Thresholds: " + std::to_string(black) + "  " + std::to_string(white));
    WriteProgramLog("Comupting LUT");
    const std::vector<std::uint16_t> table = BuildStretchTable(black, white, gamma_.load());
    WriteProgramLog("LUT created");
    for (std::size_t i = 0; i < pixels_.size(); ++i) {
        stretched_[i] = table[pixels_[i]];
    }
    WriteProgramLog("Array transformation successful");
}

void TImageObject::Zoom(double m) {
    std::lock_guard lock(lock_);
    if (!(m >= 1.0) || !std::isfinite(m)) {
        m = 1.0;
    }
    const double f = (m - 1.0) * (m - 1.0) / (m * m);
    int x0 = RoundHalfEven(width_ * f);
    int y0 = RoundHalfEven(height_ * f);
    zoom_.Resize(RoundHalfEven(width_ / m), RoundHalfEven(height_ / m));
    if (zoom_.Width() == 0 || zoom_.Height() == 0 || width_ == 0 || height_ == 0) {
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
    const int zw = zoom_.Width();
    const int zh = zoom_.Height();
    for (int dy = 0; dy < zh; ++dy) {
        const int sy = y0 + static_cast<int>(static_cast<std::int64_t>(dy) * sh / zh);
        const std::uint8_t* in = display_.Row(sy);
        std::uint8_t* out = zoom_.Row(dy);
        for (int dx = 0; dx < zw; ++dx) {
            const int sx = x0 + static_cast<int>(static_cast<std::int64_t>(dx) * sw / zw);
            std::memcpy(out + 3 * dx, in + 3 * sx, 3);
        }
    }
}

void TImageObject::PutImage(IPictureTarget& target) {
    WriteProgramLog("In TImageObject.PutImage method (Image size=" + std::to_string(numPixels_) + ")");
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
