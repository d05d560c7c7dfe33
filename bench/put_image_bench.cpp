// Frame to screen: from a frame's arrival (its new 16-bit pixels loaded into
// the image object) to its pixels drawn in the windows that show it.
// - FocusFrameToScreen: a focus frame (64 x 64 or 256 x 256) put into the
//   focus display (1:1) and into the zoom window's stretched picture, each
//   repainted at once, as a focus frame is shown during focusing.
// - MainImageToScreen: a 4096 x 4096 main image put into the main display,
//   which sits in a scroll box as in the main window, and repainted.
// Widgets run on the offscreen platform, so the drawing is Qt's own raster
// work into the window's backing store, without a display server.
//
// Counter x_memcpy is the time per frame divided by the time a memcpy of the
// frame's 16-bit pixels takes right now, so the figure means the same on a
// slower or busier machine. Each case runs five times and the best counts.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollArea>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "app/focus_zoom.h"
#include "app/picture_view.h"
#include "camera/image_object.h"

namespace {

// Sky background with read noise and one star near the middle; `seed` moves
// the star a little and changes the noise, as successive frames do.
std::vector<std::uint16_t> Frame(int size, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(900.0, 25.0);
    const double cx = size / 2.0 + seed % 3;
    const double cy = size / 2.0 - seed % 2;
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const double v = noise(rng) + 30000.0 * std::exp(-r2 / 8.0);
            pixels[static_cast<std::size_t>(y) * size + x] = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
        }
    }
    return pixels;
}

// The fastest of five timings of a plain copy of `pixels`, in seconds per copy.
double CopySeconds(const std::vector<std::uint16_t>& pixels) {
    std::vector<std::uint16_t> into(pixels.size());
    const std::size_t bytes = pixels.size() * sizeof(std::uint16_t);
    const std::size_t copies = std::max<std::size_t>(8, (std::size_t{128} << 20) / bytes);
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < copies; ++i) {
            std::memcpy(into.data(), pixels.data(), bytes);
            benchmark::ClobberMemory();
        }
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                                  static_cast<double>(copies));
    }
    benchmark::DoNotOptimize(into.data());
    return best;
}

void ReportRatio(benchmark::State& state, double copySeconds) {
    state.counters["memcpy_us"] = 1e6 * copySeconds;
    state.counters["x_memcpy"] = benchmark::Counter(static_cast<double>(state.iterations()) * copySeconds,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void FocusFrameToScreen(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const std::vector<std::uint16_t> frames[2] = {Frame(size, 1), Frame(size, 2)};
    kv::TImageObject image(size, size);
    image.SetStretchOn(true);  // the focus display's usual "Auto" stretch
    TPictureView focusDisplay;
    focusDisplay.resize(size, size);
    focusDisplay.SetSource(&image);
    focusDisplay.show();
    TFocusZoom zoom;
    zoom.Image1()->SetSource(&image);
    zoom.show();
    QApplication::processEvents();

    const double copyBefore = CopySeconds(frames[0]);
    std::size_t n = 0;
    for (auto _ : state) {
        image.LoadPixels(frames[n++ % 2].data());
        image.PutImage(focusDisplay);
        focusDisplay.repaint();
        image.PutImage(*zoom.Image1());
        zoom.Image1()->repaint();
    }
    ReportRatio(state, std::min(copyBefore, CopySeconds(frames[0])));
}

void MainImageToScreen(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const std::vector<std::uint16_t> frames[2] = {Frame(size, 3), Frame(size, 4)};
    kv::TImageObject image(size, size);
    image.SetStretchOn(true);
    QScrollArea scrollBox;
    scrollBox.resize(1280, 960);
    auto* imageDisplay = new TPictureView;
    imageDisplay->resize(size, size);
    imageDisplay->SetSource(&image);
    scrollBox.setWidget(imageDisplay);
    scrollBox.show();
    QApplication::processEvents();

    const double copyBefore = CopySeconds(frames[0]);
    std::size_t n = 0;
    for (auto _ : state) {
        image.LoadPixels(frames[n++ % 2].data());
        image.PutImage(*imageDisplay);
        imageDisplay->repaint();
    }
    ReportRatio(state, std::min(copyBefore, CopySeconds(frames[0])));
}

double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(FocusFrameToScreen)
    ->ArgName("size")
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ComputeStatistics("min", Fastest)
    ->ReportAggregatesOnly(true);
BENCHMARK(MainImageToScreen)
    ->ArgName("size")
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ComputeStatistics("min", Fastest)
    ->ReportAggregatesOnly(true);

QtMessageHandler qtMessages = nullptr;

// The offscreen platform warns at each tool window it shows that it cannot
// raise it; that says nothing about the figures and buries them.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.contains(QLatin1String("does not support raise()")) && qtMessages != nullptr) {
        qtMessages(type, context, text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Drawing is measured without a display server, the same on every machine.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qtMessages = qInstallMessageHandler(QuietMessages);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
