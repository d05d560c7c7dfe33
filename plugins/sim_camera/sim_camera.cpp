// The simulated camera: a CCD looking at a small fixed star field through the
// simulated observatory's telescope.
//
// Star images are Gaussians integrated over each pixel. Their width follows
// the distance of the focuser's true position from best focus (a V-shaped
// curve, FWHM = seeing + slope * |distance|, or a hyperbola, see
// KVSimCameraConfig; KESSIVANE_SIM_CURVE=hyperbola chooses the latter at
// start). A telescope with a central obstruction (Obstruction, or
// KESSIVANE_SIM_OBSTRUCTION=0.35 at start) shows a defocused star as the
// pupil's image instead: a ring, dark in the middle. The seeing wanders from frame
// to frame (and, with SeeingPatch, from star to star), and every pixel gets sky background, photon noise, bias and read
// noise. FieldStars scatters a field of stars to focus on as a whole, and
// TiltX, TiltY and Curvature move each star's best focus as a tilted sensor
// and a curved field do. Flux grows with the exposure time the host puts in the image object;
// binning adds pixels together as a real chip does. The focus frame is cut
// around the selected star and multiplied by the focus gain.
#include "sim_camera.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "sim/observatory.h"

namespace {

constexpr int kSensorWidth = 765;   // unbinned pixels
constexpr int kSensorHeight = 510;
constexpr int kCrowdedSensor = 2048;  // both sides, unbinned pixels
constexpr int kCrowdedSpacing = 10;   // pixels between the cells of the crowded field
constexpr int kFocusFrame = 100;    // focus frame side, read-out pixels
constexpr double kPixelMicrons = 9.0;
constexpr double kMaxSigma = 150.0;  // beyond this a star is only a faint glow anyway

struct Star {
    double x;     // unbinned pixel column of the centre
    double y;
    double flux;  // ADU per second, all of the star
};

// The bright one sits in the middle so that a default selection finds it.
constexpr Star kStars[] = {
    {382.0, 255.0, 400000.0}, {120.0, 80.0, 60000.0},  {650.0, 90.0, 30000.0},  {200.0, 400.0, 80000.0},
    {600.0, 420.0, 45000.0},  {450.0, 150.0, 20000.0}, {300.0, 330.0, 15000.0}, {700.0, 300.0, 25000.0},
};

// The crowded field: one faint star in each cell of a grid over the whole
// sensor, within 2 px of the cell's middle, so that neighbours stand at least
// 6 px apart (a finder must split them, not find one blend), as on the star
// finder's bench. Always the same stars.
const std::vector<Star>& CrowdedStars() {
    static const std::vector<Star> stars = [] {
        std::vector<Star> made;
        std::mt19937 rng(2048);
        std::uniform_real_distribution<double> jitter(-2.0, 2.0), flux(3000.0, 60000.0);
        for (int y = kCrowdedSpacing; y < kCrowdedSensor - kCrowdedSpacing / 2; y += kCrowdedSpacing)
            for (int x = kCrowdedSpacing; x < kCrowdedSensor - kCrowdedSpacing / 2; x += kCrowdedSpacing)
                made.push_back({x + jitter(rng), y + jitter(rng), flux(rng)});
        return made;
    }();
    return stars;
}

constexpr int kMaxFieldStars = 2000;

// The eight stars and enough others to make `count`, scattered over the
// sensor away from its very edge, their fluxes spread evenly in magnitude
// over 50 000 to 300 000 ADU a second, bright enough to be usable stars
// also well out of focus. Always the same for a count.
std::vector<Star> ScatteredStars(int count, int width, int height) {
    std::vector<Star> made(std::begin(kStars), std::end(kStars));
    std::mt19937 rng(static_cast<unsigned>(count) * 7919u + 17u);
    std::uniform_real_distribution<double> x(10.0, width - 10.0), y(10.0, height - 10.0), magnitude(0.0, 1.0);
    while (static_cast<int>(made.size()) < count)
        made.push_back({x(rng), y(rng), 50000.0 * std::pow(6.0, magnitude(rng))});
    return made;
}

// Beyond nine tenths nothing of the aperture is left to speak of.
double ValidObstruction(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 0.9) : 0.0; }

KVSimCameraConfig DefaultConfig() {
    KVSimCameraConfig c{};
    c.Binning = 1;
    c.Noise = 1;
    c.Seed = 0;
    c.DefaultExposure = 1.0;
    c.SeeingFWHM = 2.5;
    c.SeeingJitter = 0.08;
    c.FocusSlope = 0.02;
    c.SkyPerSecond = 300.0;
    c.Bias = 100.0;
    c.ReadNoise = 8.0;
    c.FluxScale = 1.0;
    const char* curve = std::getenv("KESSIVANE_SIM_CURVE");
    c.Curve = curve != nullptr && std::string_view(curve) == "hyperbola" ? KV_SIM_CURVE_HYPERBOLA : KV_SIM_CURVE_V;
    if (const char* obstruction = std::getenv("KESSIVANE_SIM_OBSTRUCTION")) c.Obstruction = ValidObstruction(std::atof(obstruction));
    const char* field = std::getenv("KESSIVANE_SIM_FIELD");
    c.CrowdedField = field != nullptr && std::string_view(field) == "crowded" ? 1 : 0;
    c.StepMicrons = 5.0;
    if (const char* stars = std::getenv("KESSIVANE_SIM_STARS")) c.FieldStars = std::atoi(stars);
    if (const char* tilt = std::getenv("KESSIVANE_SIM_TILT")) {
        char* rest = nullptr;
        c.TiltX = std::strtod(tilt, &rest);
        if (rest != nullptr && *rest == ',') c.TiltY = std::strtod(rest + 1, nullptr);
    }
    if (const char* curvature = std::getenv("KESSIVANE_SIM_CURVATURE")) c.Curvature = std::atof(curvature);
    return c;
}

class SimCamera {
public:
    static SimCamera& Instance() {
        static SimCamera camera;
        return camera;
    }

    KVSimCameraConfig Config() {
        std::lock_guard lock(mutex_);
        return config_;
    }

    void SetConfig(const KVSimCameraConfig& c) {
        std::lock_guard lock(mutex_);
        config_ = c;
        config_.Binning = std::clamp(config_.Binning, 1, 4);
        auto nonNegative = [](double& v) {
            if (!std::isfinite(v) || v < 0.0) v = 0.0;
        };
        nonNegative(config_.DefaultExposure);
        nonNegative(config_.SeeingJitter);
        nonNegative(config_.FocusSlope);
        nonNegative(config_.SkyPerSecond);
        nonNegative(config_.Bias);
        nonNegative(config_.ReadNoise);
        nonNegative(config_.FluxScale);
        nonNegative(config_.SeeingPatch);
        config_.Obstruction = ValidObstruction(config_.Obstruction);
        config_.CrowdedField = config_.CrowdedField != 0 ? 1 : 0;
        config_.FieldStars = std::clamp(config_.FieldStars, 0, kMaxFieldStars);
        for (double* um : {&config_.TiltX, &config_.TiltY, &config_.Curvature})
            if (!std::isfinite(*um)) *um = 0.0;
        if (!std::isfinite(config_.StepMicrons) || config_.StepMicrons <= 0.0) config_.StepMicrons = 5.0;
        if (!std::isfinite(config_.SeeingFWHM) || config_.SeeingFWHM < 0.5) config_.SeeingFWHM = 0.5;
        Reseed();
    }

    int Binning() {
        std::lock_guard lock(mutex_);
        return config_.Binning;
    }

    bool Crowded() {
        std::lock_guard lock(mutex_);
        return config_.CrowdedField != 0;
    }

    // Renders the read-out window whose top-left read-out pixel is (left, top)
    // into the host's image object.
    bool Deliver(KVImageObject* image, int left, int top, double gain) {
        if (image == nullptr) return false;
        KVImageHandle handle = nullptr;
        std::int32_t width = 0;
        std::int32_t height = 0;
        double seconds = 0.0;
        if (image->GetImageObject(image, &handle) != KV_S_OK || image->GetHorizWords(image, &width) != KV_S_OK ||
            image->GetVertWords(image, &height) != KV_S_OK || width <= 0 || height <= 0) {
            return false;
        }
        if (image->GetExposureTime(image, &seconds) != KV_S_OK) seconds = 0.0;

        std::vector<std::uint16_t> pixels;
        {
            std::lock_guard lock(mutex_);
            if (!(seconds > 0.0) || !std::isfinite(seconds)) seconds = config_.DefaultExposure;
            pixels = Render(width, height, left, top, seconds, gain);
        }
        return image->LoadArray(image, handle, pixels.data()) == KV_S_OK;
    }

private:
    SimCamera() : config_(DefaultConfig()) { Reseed(); }

    void Reseed() { rng_.seed(config_.Seed != 0 ? config_.Seed : std::random_device{}()); }

    double Normal() { return normal_(rng_); }

    // Sum over [a, b) of a unit Gaussian centred at c with deviation s.
    static double Integral(double a, double b, double c, double s) {
        const double k = 1.0 / (s * std::sqrt(2.0));
        return 0.5 * (std::erf((b - c) * k) - std::erf((a - c) * k));
    }

    // Adds `total` spread evenly over the ring between radii `inner` and
    // `outer` around (cx, cy), blurred by a Gaussian of deviation `sigma`:
    // the ring's share of each pixel (on 4x4 points of it), then the blur
    // along each axis in turn, as it separates.
    static void AddRing(std::vector<double>& signal, int width, int height, double cx, double cy, double outer,
                        double inner, double sigma, double total) {
        const int blur = static_cast<int>(std::ceil(4.0 * sigma)) + 1;
        const int reach = static_cast<int>(std::ceil(outer)) + blur + 1;
        const int side = 2 * reach + 1;
        const int left = static_cast<int>(std::floor(cx)) - reach, top = static_cast<int>(std::floor(cy)) - reach;
        std::vector<double> cover(static_cast<std::size_t>(side * side), 0.0);
        double area = 0.0;
        for (int j = 0; j < side; ++j) {
            for (int i = 0; i < side; ++i) {
                int inside = 0;
                for (int b = 0; b < 4; ++b)
                    for (int a = 0; a < 4; ++a) {
                        const double r = std::hypot(left + i + (a + 0.5) / 4.0 - cx, top + j + (b + 0.5) / 4.0 - cy);
                        inside += r <= outer && r >= inner;
                    }
                cover[static_cast<std::size_t>(j * side + i)] = inside / 16.0;
                area += inside / 16.0;
            }
        }
        if (area <= 0.0) return;
        std::vector<double> kernel(static_cast<std::size_t>(2 * blur + 1));
        for (int k = -blur; k <= blur; ++k) kernel[static_cast<std::size_t>(k + blur)] = Integral(k, k + 1.0, 0.5, sigma);
        std::vector<double> across(cover.size(), 0.0);
        for (int j = 0; j < side; ++j)
            for (int i = 0; i < side; ++i)
                for (int k = -blur; k <= blur; ++k)
                    if (i + k >= 0 && i + k < side)
                        across[static_cast<std::size_t>(j * side + i)] +=
                            cover[static_cast<std::size_t>(j * side + i + k)] * kernel[static_cast<std::size_t>(k + blur)];
        for (int j = 0; j < side; ++j) {
            const int y = top + j;
            if (y < 0 || y >= height) continue;
            for (int i = 0; i < side; ++i) {
                const int x = left + i;
                if (x < 0 || x >= width) continue;
                double v = 0.0;
                for (int k = -blur; k <= blur; ++k)
                    if (j + k >= 0 && j + k < side)
                        v += across[static_cast<std::size_t>((j + k) * side + i)] * kernel[static_cast<std::size_t>(k + blur)];
                signal[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] += total * v / area;
            }
        }
    }

    std::vector<std::uint16_t> Render(int width, int height, int left, int top, double seconds, double gain) {
        const KVSimCameraConfig& c = config_;
        const int bin = c.Binning;
        const kvsim::Observatory& sky = kvsim::Observatory::Instance();
        const double distance = static_cast<double>(sky.TruePosition()) - sky.BestFocus();

        double seeing = c.SeeingFWHM;
        if (c.Noise != 0 && c.SeeingJitter > 0.0) {
            seeing *= std::max(0.3, 1.0 + c.SeeingJitter * Normal());
        }
        // Where each star's own best focus lies, in steps from the centre's:
        // the sensor's tilt and the field's curvature.
        const double sensorW = (c.CrowdedField != 0 ? kCrowdedSensor : kSensorWidth) / 2.0;
        const double sensorH = (c.CrowdedField != 0 ? kCrowdedSensor : kSensorHeight) / 2.0;
        const auto offsetSteps = [&](const Star& star) {
            const double u = (star.x - sensorW) / sensorW, v = (star.y - sensorH) / sensorH;
            return (c.TiltX * u + c.TiltY * v + c.Curvature * (u * u + v * v) / 2.0) / c.StepMicrons;
        };
        double defocus = c.FocusSlope * std::fabs(distance);
        const auto sigmaFor = [&](double starSeeing) {
            const double fwhm = c.Curve == KV_SIM_CURVE_HYPERBOLA ? std::hypot(starSeeing, defocus)
                                                                  : starSeeing + defocus;  // unbinned pixels
            return std::min(fwhm / (2.0 * std::sqrt(2.0 * std::log(2.0))), kMaxSigma) / bin;
        };

        const auto n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        std::vector<double> signal(n, c.SkyPerSecond * bin * bin * seconds);

        std::vector<double> ix;
        std::vector<double> iy;
        std::vector<Star> stars = c.FieldStars > static_cast<int>(std::size(kStars))
                                      ? ScatteredStars(c.FieldStars, kSensorWidth, kSensorHeight)
                                      : std::vector<Star>(std::begin(kStars), std::end(kStars));
        if (c.CrowdedField != 0) stars.insert(stars.end(), CrowdedStars().begin(), CrowdedStars().end());
        const bool aberrated = c.TiltX != 0.0 || c.TiltY != 0.0 || c.Curvature != 0.0;
        for (const Star& star : stars) {
            if (aberrated) defocus = c.FocusSlope * std::fabs(distance - offsetSteps(star));
            double starSeeing = seeing;
            if (c.Noise != 0 && c.SeeingPatch > 0.0) starSeeing *= std::max(0.3, 1.0 + c.SeeingPatch * Normal());
            const double sigma = sigmaFor(starSeeing);
            const int reach = static_cast<int>(std::ceil(6.0 * sigma)) + 2;
            // Centre of the star in read-out pixel coordinates of this window.
            const double cx = (star.x + 0.5) / bin - left;
            const double cy = (star.y + 0.5) / bin - top;
            const int x0 = std::max(0, static_cast<int>(std::floor(cx)) - reach);
            const int x1 = std::min(width - 1, static_cast<int>(std::floor(cx)) + reach);
            const int y0 = std::max(0, static_cast<int>(std::floor(cy)) - reach);
            const int y1 = std::min(height - 1, static_cast<int>(std::floor(cy)) + reach);
            if (x0 > x1 || y0 > y1) continue;
            ix.assign(static_cast<std::size_t>(x1 - x0 + 1), 0.0);
            iy.assign(static_cast<std::size_t>(y1 - y0 + 1), 0.0);
            for (int x = x0; x <= x1; ++x) ix[static_cast<std::size_t>(x - x0)] = Integral(x, x + 1.0, cx, sigma);
            for (int y = y0; y <= y1; ++y) iy[static_cast<std::size_t>(y - y0)] = Integral(y, y + 1.0, cy, sigma);
            const double total = star.flux * c.FluxScale * seconds;
            const double outer = defocus / 2.0 / bin;  // the pupil image's radius, read-out pixels
            if (c.Obstruction > 0.0 && outer >= 1.0) {
                AddRing(signal, width, height, cx, cy, outer, c.Obstruction * outer,
                        std::min(starSeeing / (2.0 * std::sqrt(2.0 * std::log(2.0))), kMaxSigma) / bin, total);
                continue;
            }
            for (int y = y0; y <= y1; ++y) {
                double* row = signal.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
                const double fy = total * iy[static_cast<std::size_t>(y - y0)];
                for (int x = x0; x <= x1; ++x) row[x] += fy * ix[static_cast<std::size_t>(x - x0)];
            }
        }

        std::vector<std::uint16_t> out(n);
        for (std::size_t i = 0; i < n; ++i) {
            double v = signal[i];
            if (c.Noise != 0) {
                // Photon noise: Poisson, close enough to a normal law above a few dozen counts.
                if (v > 30.0) {
                    v += std::sqrt(v) * Normal();
                } else if (v > 0.0) {
                    v = static_cast<double>(std::poisson_distribution<int>(v)(rng_));
                }
                v += c.ReadNoise * Normal();
            }
            v = (v + c.Bias) * gain;
            out[i] = static_cast<std::uint16_t>(std::clamp(std::nearbyint(v), 0.0, 65535.0));
        }
        return out;
    }

    std::mutex mutex_;
    KVSimCameraConfig config_;
    std::mt19937 rng_;
    std::normal_distribution<double> normal_{0.0, 1.0};
};

}  // namespace

KV_PLUGIN_EXPORT void DLLQueryCameraData(TCameraData* data) {
    if (data == nullptr) return;
    const int bin = SimCamera::Instance().Binning();
    const bool crowded = SimCamera::Instance().Crowded();
    data->CameraType = "CCD";
    data->CameraName = "Simulated CCD";
    data->Manufacturer = "Kessivane simulated observatory";
    data->ImageBits = 16;
    data->FocusBits = 16;
    data->HorizRes = (crowded ? kCrowdedSensor : kSensorWidth) / bin;
    data->VertRes = (crowded ? kCrowdedSensor : kSensorHeight) / bin;
    data->HorizFocusFrame = kFocusFrame;
    data->VertFocusFrame = kFocusFrame;
    data->HorizPixel = kPixelMicrons * bin;
    data->VertPixel = kPixelMicrons * bin;
    data->FocusOffsetX = 0;
    data->FocusOffsetY = 0;
    data->DownloadTime = 200;
    data->DLLFileName = "sim_camera.so";
    data->DLLVersion = "1.0";
    data->InterfaceType = 0;
    data->Location00 = 0;
    data->Orientation = 0;
    data->FWHMFactor = 0.0;
    data->XBinning = bin;
    data->YBinning = bin;
    data->FocusBinning = bin;
}

KV_PLUGIN_EXPORT KVBool DLLInitCamera(std::int32_t /*parPort*/) { return KV_TRUE; }

KV_PLUGIN_EXPORT KVBool DLLSetUpExpose(void) { return KV_TRUE; }

namespace {
std::atomic<int>& EmptyFramesLeft() {
    static std::atomic<int> left{0};
    return left;
}
}  // namespace

KV_PLUGIN_EXPORT void KVSimCamera_SetEmptyFrames(int count) { EmptyFramesLeft().store(std::max(0, count)); }

KV_PLUGIN_EXPORT KVBool DLLGetImageObject(KVImageObject* image) {
    if (EmptyFramesLeft().load() > 0 && EmptyFramesLeft().fetch_sub(1) > 0) return KV_TRUE;
    return SimCamera::Instance().Deliver(image, 0, 0, 1.0) ? KV_TRUE : KV_FALSE;
}

KV_PLUGIN_EXPORT KVBool DLLGetFocusObject(KVImageObject* image, std::int32_t x, std::int32_t y, double gain) {
    // A gain the slider has not set yet (0) reads as unity.
    if (!(gain > 0.0) || !std::isfinite(gain)) gain = 1.0;
    // Far outside the chip the frame is only sky; the clamp keeps the sums in range.
    x = std::clamp(x, -1000000, 1000000);
    y = std::clamp(y, -1000000, 1000000);
    return SimCamera::Instance().Deliver(image, x - kFocusFrame / 2, y - kFocusFrame / 2, gain) ? KV_TRUE : KV_FALSE;
}

KV_PLUGIN_EXPORT std::int32_t DLLGetCalibrate(void) { return 0; }

KV_PLUGIN_EXPORT void KVSimCamera_GetConfig(KVSimCameraConfig* config) {
    if (config != nullptr) *config = SimCamera::Instance().Config();
}

KV_PLUGIN_EXPORT void KVSimCamera_SetConfig(const KVSimCameraConfig* config) {
    if (config != nullptr) SimCamera::Instance().SetConfig(*config);
}
