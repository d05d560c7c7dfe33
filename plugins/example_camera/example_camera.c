/*
 * A minimal Kessivane camera plug-in: a flat grey sky with one Gaussian star
 * in the middle of the main image. The focus frame is cut around the star the
 * user selected, with the focus gain applied. It talks to no hardware; it
 * shows everything a real plug-in has to do.
 *
 * Build: cc -std=c11 -shared -fPIC -fvisibility=hidden -I<kessivane>/include \
 *           example_camera.c -o example_camera.so -lm
 */
#include <math.h>
#include <stdlib.h>

#include "kessivane/camera_plugin.h"

enum {
    kWidth = 640,
    kHeight = 480,
    kFocusWidth = 64,
    kFocusHeight = 64,
    kStarX = 320,
    kStarY = 240
};

static const double kSkyPerSecond = 800.0;    /* ADU per second of exposure */
static const double kStarPeakPerSecond = 20000.0;
static const double kStarSigma = 2.0;         /* pixels */
static const double kDefaultExposure = 1.0;   /* when the host sets none */

/* The value of main-image pixel (x, y) for an exposure of `seconds`. */
static double SkyAt(int x, int y, double seconds) {
    const double dx = x - kStarX;
    const double dy = y - kStarY;
    const double star = kStarPeakPerSecond * exp(-(dx * dx + dy * dy) / (2.0 * kStarSigma * kStarSigma));
    return (kSkyPerSecond + star) * seconds;
}

static uint16_t ToAdu(double v) {
    if (v <= 0.0) return 0;
    if (v >= 65535.0) return 65535;
    return (uint16_t)(v + 0.5);
}

/* Renders the window whose top-left corner is (left, top) in main-image
   pixels into the host's image object and hands it over with LoadArray. */
static KVBool Deliver(KVImageObject* image, int left, int top, double gain) {
    KVImageHandle handle = NULL;
    int32_t width = 0;
    int32_t height = 0;
    double seconds = 0.0;
    uint16_t* pixels;
    int x;
    int y;
    KVBool ok;

    if (image == NULL) return KV_FALSE;
    /* The object's own size is the one to fill, whatever this file believes. */
    if (image->GetImageObject(image, &handle) != KV_S_OK) return KV_FALSE;
    if (image->GetHorizWords(image, &width) != KV_S_OK) return KV_FALSE;
    if (image->GetVertWords(image, &height) != KV_S_OK) return KV_FALSE;
    if (width <= 0 || height <= 0) return KV_FALSE;
    if (image->GetExposureTime(image, &seconds) != KV_S_OK || seconds <= 0.0) seconds = kDefaultExposure;

    pixels = (uint16_t*)malloc((size_t)width * (size_t)height * sizeof(uint16_t));
    if (pixels == NULL) return KV_FALSE;
    for (y = 0; y < height; ++y) {
        for (x = 0; x < width; ++x) {
            pixels[(size_t)y * (size_t)width + (size_t)x] = ToAdu(gain * SkyAt(left + x, top + y, seconds));
        }
    }
    ok = image->LoadArray(image, handle, pixels) == KV_S_OK;
    free(pixels);
    return ok;
}

KV_PLUGIN_EXPORT void DLLQueryCameraData(TCameraData* data) {
    if (data == NULL) return;
    /* Texts are string literals: they live as long as the library. */
    data->CameraType = "Example";
    data->CameraName = "Example Camera";
    data->Manufacturer = "Kessivane examples";
    data->ImageBits = 16;
    data->FocusBits = 16;
    data->HorizRes = kWidth;
    data->VertRes = kHeight;
    data->HorizFocusFrame = kFocusWidth;
    data->VertFocusFrame = kFocusHeight;
    data->HorizPixel = 9.0;
    data->VertPixel = 9.0;
    data->FocusOffsetX = 0;
    data->FocusOffsetY = 0;
    data->DownloadTime = 100;
    data->DLLFileName = "example_camera.so";
    data->DLLVersion = "1.0";
    data->InterfaceType = 0;
    data->Location00 = 0;
    data->Orientation = 0;
    data->FWHMFactor = 0.0;
    data->XBinning = 1;
    data->YBinning = 1;
    data->FocusBinning = 1;
}

KV_PLUGIN_EXPORT KVBool DLLInitCamera(int32_t parPort) {
    (void)parPort; /* no hardware to reach */
    return KV_TRUE;
}

KV_PLUGIN_EXPORT KVBool DLLSetUpExpose(void) {
    /* A real camera opens its shutter here and returns at once; the host
       times the exposure and then asks for the frame. */
    return KV_TRUE;
}

KV_PLUGIN_EXPORT KVBool DLLGetImageObject(KVImageObject* image) {
    return Deliver(image, 0, 0, 1.0);
}

KV_PLUGIN_EXPORT KVBool DLLGetFocusObject(KVImageObject* image, int32_t x, int32_t y, double gain) {
    if (gain <= 0.0) gain = 1.0;
    return Deliver(image, x - kFocusWidth / 2, y - kFocusHeight / 2, gain);
}

KV_PLUGIN_EXPORT int32_t DLLGetCalibrate(void) {
    return 0;
}
