/* One test plug-in, compiled once per variant with the KVT_* definitions. */
#include <stddef.h>
#include <stdint.h>

#include "kessivane/camera_plugin.h"

#ifndef KVT_NAME
#define KVT_NAME "Test Camera"
#endif
#ifndef KVT_REPORTED_FILE
#define KVT_REPORTED_FILE KVT_FILE_NAME
#endif
#ifndef KVT_WIDTH
#define KVT_WIDTH 32
#endif
#ifndef KVT_HEIGHT
#define KVT_HEIGHT 24
#endif
#ifndef KVT_FOCUS_WIDTH
#define KVT_FOCUS_WIDTH 16
#endif
#ifndef KVT_FOCUS_HEIGHT
#define KVT_FOCUS_HEIGHT 12
#endif
#ifndef KVT_FOCUS_BINNING
#define KVT_FOCUS_BINNING 2
#endif
#ifndef KVT_PIXEL
#define KVT_PIXEL 6.8
#endif
#ifndef KVT_INIT_RESULT
#define KVT_INIT_RESULT 1
#endif

/* What the host did, for the tests to read through dlsym. */
KV_PLUGIN_EXPORT int32_t kvt_init_calls = 0;
KV_PLUGIN_EXPORT int32_t kvt_last_port = 0;
KV_PLUGIN_EXPORT int32_t kvt_last_x = 0;
KV_PLUGIN_EXPORT int32_t kvt_last_y = 0;

#ifdef KVT_NULL_TEXTS
#define KVT_TEXT(text) NULL
#else
#define KVT_TEXT(text) text
#endif

#ifndef KVT_NO_QUERY
KV_PLUGIN_EXPORT void DLLQueryCameraData(TCameraData* d) {
    *d = (TCameraData){.CameraType = KVT_TEXT("Test type"), .CameraName = KVT_TEXT(KVT_NAME),
                       .Manufacturer = KVT_TEXT("Santa Test Works"), .DLLFileName = KVT_TEXT(KVT_REPORTED_FILE),
                       .DLLVersion = KVT_TEXT("9.8"), .ImageBits = 12, .FocusBits = 14, .HorizRes = KVT_WIDTH,
                       .VertRes = KVT_HEIGHT, .HorizFocusFrame = KVT_FOCUS_WIDTH, .VertFocusFrame = KVT_FOCUS_HEIGHT,
                       .HorizPixel = KVT_PIXEL, .VertPixel = KVT_PIXEL * 1.25, .FocusOffsetX = 3, .FocusOffsetY = 4,
                       .DownloadTime = 250, .InterfaceType = 2, .Location00 = 7, .Orientation = 8, .FWHMFactor = 1.5,
                       .XBinning = 2, .YBinning = 3, .FocusBinning = KVT_FOCUS_BINNING};
}
#else
KV_PLUGIN_EXPORT int32_t NotACamera(void) { return 1; }
#endif

#ifndef KVT_QUERY_ONLY
KV_PLUGIN_EXPORT KVBool DLLInitCamera(int32_t parPort) {
    ++kvt_init_calls;
    kvt_last_port = parPort;
    return KVT_INIT_RESULT;
}

KV_PLUGIN_EXPORT KVBool DLLSetUpExpose(void) { return KV_TRUE; }

/* Pixel (x, y) = 100 * y + x + offset, through the interface. */
static KVBool Fill(KVImageObject* image, int32_t offset) {
    static uint16_t buffer[4096];
    KVImageHandle handle = NULL;
    int32_t w = 0, h = 0, x, y;
    if (image->GetImageObject(image, &handle) != KV_S_OK || image->GetHorizWords(image, &w) != KV_S_OK ||
        image->GetVertWords(image, &h) != KV_S_OK || (size_t)w * (size_t)h > sizeof buffer / sizeof buffer[0]) {
        return KV_FALSE;
    }
    for (y = 0; y < h; ++y) {
        for (x = 0; x < w; ++x) buffer[y * w + x] = (uint16_t)(100 * y + x + offset);
    }
    return image->LoadArray(image, handle, buffer) == KV_S_OK;
}

KV_PLUGIN_EXPORT KVBool DLLGetImageObject(KVImageObject* image) { return Fill(image, 0); }

KV_PLUGIN_EXPORT KVBool DLLGetFocusObject(KVImageObject* image, int32_t x, int32_t y, double gain) {
    kvt_last_x = x;
    kvt_last_y = y;
    return Fill(image, (int32_t)(gain * 1000.0));
}

KV_PLUGIN_EXPORT int32_t DLLGetCalibrate(void) { return 42; }
#endif
