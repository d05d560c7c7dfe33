/*
 * Kessivane camera plug-in interface.
 *
 * A camera plug-in is a shared object ("*.so") placed in the program's folder
 * that exports the six functions declared below with C linkage and the
 * platform's C calling convention (System V AMD64 on x86-64 Linux). The host
 * scans its folder at start-up, lists every library that exports
 * DLLQueryCameraData, and loads the chosen one with dlopen(RTLD_NOW|RTLD_LOCAL).
 * A seventh export, DLLDescribeCamera, is optional (see below).
 *
 * This header compiles as C (C11 or later) and as C++. It is the whole
 * contract between the host and a plug-in; docs/plugin_writers_guide.md walks
 * through it with a complete example.
 *
 * Summary of the call order (host thread in brackets):
 *   scan:        dlopen, DLLDescribeCamera (DLLQueryCameraData when
 *                that optional export is absent), dlclose               [GUI]
 *   initialise:  dlopen, DLLQueryCameraData, DLLInitCamera,
 *                DLLGetCalibrate                                       [worker;
 *                the GUI keeps painting while they wait on a device]
 *   main image:  DLLQueryCameraData, DLLSetUpExpose, (exposure wait),
 *                DLLGetImageObject                                     [exposure worker]
 *   focus frame: DLLSetUpExpose, (exposure wait), DLLGetFocusObject    [focus worker]
 *   disconnect:  dlclose                                               [GUI]
 */
#ifndef KESSIVANE_CAMERA_PLUGIN_H
#define KESSIVANE_CAMERA_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KV_EXTERN_C extern "C"
#define KV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KV_EXTERN_C
#define KV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Put this in front of the definition of each of the six exports. */
#define KV_PLUGIN_EXPORT KV_EXTERN_C __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* A Boolean result across the interface: 0 is false, any other value true. */
typedef int32_t KVBool;
#define KV_FALSE 0
#define KV_TRUE 1

/* ------------------------------------------------------------------------
 * Camera description record.
 *
 * The host zero-fills the record and the plug-in fills it in place when
 * DLLQueryCameraData is called. Natural 64-bit layout: texts are pointers to
 * zero-terminated 8-bit strings OWNED BY THE PLUG-IN; they must stay valid
 * until the library is unloaded (string literals or static buffers). The host
 * copies every text before it unloads the library. A NULL text is read as
 * empty (a NULL CameraName or DLLFileName falls back to the library's file
 * name). Explicit Reserved fields fill what would otherwise be alignment
 * padding; the host reads none of them.
 * ---------------------------------------------------------------------- */
typedef struct TCameraData {
    const char* CameraType;   /*   0 shown as "CameraType: " */
    const char* CameraName;   /*   8 entry in the camera list */
    const char* Manufacturer; /*  16 "Santa..." marks an SBIG camera */
    int32_t ImageBits;        /*  24 bits per pixel, main image; shown only */
    int32_t FocusBits;        /*  28 bits per pixel, focus frame; shown only */
    int32_t HorizRes;         /*  32 main image width, pixels (1..32768) */
    int32_t VertRes;          /*  36 main image height, pixels (1..32768) */
    int32_t HorizFocusFrame;  /*  40 focus frame width, pixels (1..32768) */
    int32_t VertFocusFrame;   /*  44 focus frame height, pixels (1..32768) */
    double HorizPixel;        /*  48 pixel width (for example in micrometres) */
    double VertPixel;         /*  56 pixel height, same unit */
    int32_t FocusOffsetX;     /*  64 shown only */
    int32_t FocusOffsetY;     /*  68 shown only */
    int32_t DownloadTime;     /*  72 ms added to the exposure for the progress timer */
    int32_t Reserved0;        /*  76 not read */
    const char* DLLFileName;  /*  80 file name the host loads when this camera is chosen */
    const char* DLLVersion;   /*  88 shown and logged */
    int32_t InterfaceType;    /*  96 shown only */
    int32_t Location00;       /* 100 shown only */
    int32_t Orientation;      /* 104 shown only */
    int32_t Reserved1;        /* 108 alignment; not read */
    double FWHMFactor;        /* 112 subtracted from the horizontal FWHM */
    int32_t XBinning;         /* 120 horizontal binning (star-selection margin) */
    int32_t YBinning;         /* 124 vertical binning (star-selection margin) */
    int32_t FocusBinning;     /* 128 divisor of the focus widths; 0 is read as 1 */
    int32_t Reserved2;        /* 132 alignment; not read */
} TCameraData;                /* 136 bytes */

KV_STATIC_ASSERT(sizeof(void*) == 8, "the camera plug-in interface is defined for 64-bit targets");
KV_STATIC_ASSERT(offsetof(TCameraData, CameraType) == 0, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, CameraName) == 8, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Manufacturer) == 16, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, ImageBits) == 24, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, FocusBits) == 28, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, HorizRes) == 32, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, VertRes) == 36, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, HorizFocusFrame) == 40, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, VertFocusFrame) == 44, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, HorizPixel) == 48, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, VertPixel) == 56, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, FocusOffsetX) == 64, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, FocusOffsetY) == 68, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, DownloadTime) == 72, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Reserved0) == 76, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, DLLFileName) == 80, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, DLLVersion) == 88, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, InterfaceType) == 96, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Location00) == 100, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Orientation) == 104, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Reserved1) == 108, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, FWHMFactor) == 112, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, XBinning) == 120, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, YBinning) == 124, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, FocusBinning) == 128, "TCameraData layout");
KV_STATIC_ASSERT(offsetof(TCameraData, Reserved2) == 132, "TCameraData layout");
KV_STATIC_ASSERT(sizeof(TCameraData) == 136, "TCameraData layout");

/* ------------------------------------------------------------------------
 * Image object interface.
 *
 * The host never hands a plug-in its image object's memory. It hands a
 * pointer to this interface, already attached to the image object to fill.
 * Every member takes the interface pointer first and returns a status:
 * KV_S_OK on success, a negative KV_E_* code on failure (a failure inside the
 * host is turned into a status, never passed on). Property reads write their
 * value through the last (out) parameter.
 *
 * With nothing attached every read gives 0 (or KV_VARIANT_FALSE) and every
 * write except SetImageObject does nothing. Handles are checked: an unknown or
 * already freed image handle gives KV_E_HANDLE, never a stray write.
 *
 * Filling a frame:
 *   KVImageHandle h;  int32_t w, hgt;
 *   img->GetImageObject(img, &h);
 *   img->GetHorizWords(img, &w);  img->GetVertWords(img, &hgt);
 *   ... render w*hgt 16-bit pixels, row-major, pixel (x,y) at [y*w + x] ...
 *   img->LoadArray(img, h, pixels);
 * ---------------------------------------------------------------------- */

/* Identifies one of the host's image objects; valid only inside the host's process. */
typedef struct KVImageObjectHandle_* KVImageHandle;

#define KV_S_OK 0
#define KV_E_FAIL (-1)    /* unexpected failure inside the host */
#define KV_E_POINTER (-2) /* a NULL out parameter, pixel array or interface */
#define KV_E_HANDLE (-3)  /* the image handle names no live image object */

/* Automation Booleans: true has all bits set; any non-zero value written means true. */
#define KV_VARIANT_TRUE (-1)
#define KV_VARIANT_FALSE 0

typedef struct KVImageObject KVImageObject;
struct KVImageObject {
    /* Size of this struct in bytes as the host built it (>= the size below);
       later versions only ever append members. */
    uint32_t StructSize;
    uint32_t InterfaceVersion; /* KV_IMAGE_OBJECT_VERSION */
    /* The host's private context; plug-ins leave it alone. */
    void* Self;

    /* Copies Width*Height 16-bit pixels from `pixels` into the raw frame of
       the image object named by `image` (not necessarily the attached one)
       and clears that object's IsUpdated, so the host recomputes the
       statistics and the rendering before showing it. */
    int32_t (*LoadArray)(KVImageObject* self, KVImageHandle image, const uint16_t* pixels);
    /* KV_VARIANT_TRUE if the attached object's derived data are current. */
    int32_t (*GetIsUpdated)(KVImageObject* self, int32_t* value);
    /* Sets the attached object's IsUpdated to (value != 0). */
    int32_t (*SetIsUpdated)(KVImageObject* self, int32_t value);
    /* Width of the attached object, pixels. */
    int32_t (*GetHorizWords)(KVImageObject* self, int32_t* value);
    /* Exposure time of the attached object, seconds (set by the host before
       it asks for the frame). */
    int32_t (*GetExposureTime)(KVImageObject* self, double* timeSeconds);
    int32_t (*SetExposureTime)(KVImageObject* self, double timeSeconds);
    /* The attached handle, NULL when none. */
    int32_t (*GetImageObject)(KVImageObject* self, KVImageHandle* value);
    /* Attaches another live image object (NULL detaches). */
    int32_t (*SetImageObject)(KVImageObject* self, KVImageHandle value);
    /* Height of the attached object, pixels. */
    int32_t (*GetVertWords)(KVImageObject* self, int32_t* value);
};

#define KV_IMAGE_OBJECT_VERSION 1u

KV_STATIC_ASSERT(offsetof(KVImageObject, StructSize) == 0, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, InterfaceVersion) == 4, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, Self) == 8, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, LoadArray) == 16, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, GetIsUpdated) == 24, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, SetIsUpdated) == 32, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, GetHorizWords) == 40, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, GetExposureTime) == 48, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, SetExposureTime) == 56, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, GetImageObject) == 64, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, SetImageObject) == 72, "KVImageObject layout");
KV_STATIC_ASSERT(offsetof(KVImageObject, GetVertWords) == 80, "KVImageObject layout");
KV_STATIC_ASSERT(sizeof(KVImageObject) == 88, "KVImageObject layout");

/* ------------------------------------------------------------------------
 * The six exports, and the optional seventh. Names are exact and case-sensitive.
 * ---------------------------------------------------------------------- */

/* Fill the record. Called during the folder scan, at initialisation and
   before every main-image exposure. The result is not used. */
void DLLQueryCameraData(TCameraData* data);
/* Connect to the camera. parPort is the parallel-port number 1..3.
   Returns true when the camera is ready. */
KVBool DLLInitCamera(int32_t parPort);
/* Start an exposure (main or focus). True: the exposure has started and the
   host times it; false: the host skips the wait and asks for the frame at once. */
KVBool DLLSetUpExpose(void);
/* Deliver the main image into `image` (HorizRes x VertRes pixels). */
KVBool DLLGetImageObject(KVImageObject* image);
/* Deliver the focus frame into `image` (HorizFocusFrame x VertFocusFrame
   pixels), cut around the selected star at (x, y) in main-image pixels, with
   the focus gain applied. */
KVBool DLLGetFocusObject(KVImageObject* image, int32_t x, int32_t y, double gain);
/* Calibrate value, 0 for none. Called once per parameter update. */
int32_t DLLGetCalibrate(void);

/* Optional. Fill the record from what the plug-in knows without reaching any
   device (its settings, a nominal size). When exported, the folder scan calls
   it instead of DLLQueryCameraData, so a plug-in whose camera sits behind a
   network or a bus connects to nothing while it is not the chosen one.
   DLLQueryCameraData is still required: it makes the library a plug-in, and
   the host calls it once the camera is chosen. */
void DLLDescribeCamera(TCameraData* data);

/* Types the host binds the exports to. */
typedef void (*KVQueryCameraDataProc)(TCameraData* data);
typedef void (*KVDescribeCameraProc)(TCameraData* data);
typedef KVBool (*KVInitCameraProc)(int32_t parPort);
typedef KVBool (*KVSetUpExposeProc)(void);
typedef KVBool (*KVGetImageObjectProc)(KVImageObject* image);
typedef KVBool (*KVGetFocusObjectProc)(KVImageObject* image, int32_t x, int32_t y, double gain);
typedef int32_t (*KVGetCalibrateProc)(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESSIVANE_CAMERA_PLUGIN_H */
