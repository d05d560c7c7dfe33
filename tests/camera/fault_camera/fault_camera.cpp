#include "fault_camera.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "kessivane/camera_plugin.h"

namespace {

FaultCameraState gState;

void HangWhileAsked() {
    while (gState.hang.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

KVBool Fill(KVImageObject* image, bool focus) {
    KVImageHandle handle = nullptr;
    int32_t w = 0, h = 0;
    double exposure = 0.0;
    if (image == nullptr || image->GetImageObject(image, &handle) != KV_S_OK ||
        image->GetHorizWords(image, &w) != KV_S_OK || image->GetVertWords(image, &h) != KV_S_OK ||
        image->GetExposureTime(image, &exposure) != KV_S_OK || w <= 0 || h <= 0) {
        return KV_FALSE;
    }
    if (!focus) gState.lastImageExposure.store(exposure);
    const double cx = w / 2, cy = h / 2;
    std::vector<uint16_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const double v = kFaultSky + kFaultStarPeak * std::exp(-r2 / (2 * kFaultStarSigma * kFaultStarSigma));
            pixels[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
                static_cast<uint16_t>(std::lround(std::fmin(v, 65535.0)));
        }
    }
    return image->LoadArray(image, handle, pixels.data()) == KV_S_OK ? KV_TRUE : KV_FALSE;
}

}  // namespace

KV_PLUGIN_EXPORT FaultCameraState* FaultCamera_State() { return &gState; }

KV_PLUGIN_EXPORT void DLLQueryCameraData(TCameraData* data) {
    const char* maker = gState.sbig.load() != 0 ? "Santa Barbara Instrument Group" : "Nobody";
    *data = TCameraData{.CameraType = "Test", .CameraName = "Fault Camera", .Manufacturer = maker, .ImageBits = 16,
                        .FocusBits = 16, .HorizRes = kFaultMainWidth, .VertRes = kFaultMainHeight,
                        .HorizFocusFrame = kFaultFocusWidth, .VertFocusFrame = kFaultFocusHeight, .HorizPixel = 9.0,
                        .VertPixel = 9.0, .FocusOffsetX = 0, .FocusOffsetY = 0, .DownloadTime = 0, .Reserved0 = 0,
                        .DLLFileName = "fault_camera.so", .DLLVersion = "1.0", .InterfaceType = 0, .Location00 = 0,
                        .Orientation = 0, .Reserved1 = 0, .FWHMFactor = 0.0, .XBinning = 1, .YBinning = 1,
                        .FocusBinning = 1, .Reserved2 = 0};
}

KV_PLUGIN_EXPORT KVBool DLLInitCamera(int32_t) { return gState.initResult.load() != 0 ? KV_TRUE : KV_FALSE; }

KV_PLUGIN_EXPORT KVBool DLLSetUpExpose(void) { return gState.setUpExposeResult.load() != 0 ? KV_TRUE : KV_FALSE; }

KV_PLUGIN_EXPORT KVBool DLLGetImageObject(KVImageObject* image) {
    ++gState.imageCalls;
    HangWhileAsked();
    const KVBool filled = gState.skipLoad.load() != 0 ? KV_TRUE : Fill(image, false);
    return gState.imageResult.load() != 0 ? filled : KV_FALSE;
}

KV_PLUGIN_EXPORT KVBool DLLGetFocusObject(KVImageObject* image, int32_t x, int32_t y, double gain) {
    gState.focusInProgress = 1;
    gState.lastX = x, gState.lastY = y, gState.lastGain = gain;
    std::this_thread::sleep_for(std::chrono::milliseconds(gState.focusDelayMs.load()));
    HangWhileAsked();
    const KVBool filled = Fill(image, true);
    ++gState.focusCalls;
    gState.focusInProgress = 0;
    return gState.focusResult.load() != 0 ? filled : KV_FALSE;
}

KV_PLUGIN_EXPORT int32_t DLLGetCalibrate(void) { return 0; }
