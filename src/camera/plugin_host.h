// Camera plug-ins: finding them and binding one.
//
// A plug-in is a shared object in the program's folder exporting the six
// functions of include/kessivane/camera_plugin.h. ScanForPlugins lists the
// cameras found there; CameraPlugin loads the chosen one, binds its exports,
// owns the two image objects sized from its description, and makes the calls.
//
// Nothing a plug-in reports is trusted: every text is copied out of the
// record (NULL reads as empty) before the library can go away, frame sizes
// outside 1..kMaxImageSide or above kMaxImagePixels refuse the camera with a
// message, and values the measurements divide by (FocusBinning, the pixel
// sizes, the binnings) are replaced by neutral ones with a log line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/image_object.h"
#include "kessivane/camera_plugin.h"
#include "platform/dialogs.h"

namespace kv {

inline constexpr int kMaxImageSide = 32768;
inline constexpr std::int64_t kMaxImagePixels = std::int64_t{1} << 26;  // 64 Mpixel
// Longest text copied out of a camera record; longer texts are cut.
inline constexpr std::size_t kMaxCameraText = 1024;

// The host's own copy of a camera's TCameraData: texts copied, values guarded.
struct CameraInfo {
    std::string CameraType;
    std::string CameraName;
    std::string Manufacturer;
    std::int32_t ImageBits = 0;
    std::int32_t FocusBits = 0;
    std::int32_t HorizRes = 0;
    std::int32_t VertRes = 0;
    std::int32_t HorizFocusFrame = 0;
    std::int32_t VertFocusFrame = 0;
    double HorizPixel = 1.0;
    double VertPixel = 1.0;
    std::int32_t FocusOffsetX = 0;
    std::int32_t FocusOffsetY = 0;
    std::int32_t DownloadTime = 0;
    std::string DLLFileName;
    std::string DLLVersion;
    std::int32_t InterfaceType = 0;
    std::int32_t Location00 = 0;
    std::int32_t Orientation = 0;
    double FWHMFactor = 0.0;
    std::int32_t XBinning = 1;
    std::int32_t YBinning = 1;
    std::int32_t FocusBinning = 1;
};

// Copies `raw` (NULL texts read as empty, texts cut at kMaxCameraText) and
// guards the divisors: FocusBinning, XBinning, YBinning below 1 become 1;
// pixel sizes that are not positive finite numbers make both sizes 1.0 (so
// their ratio stays meaningful); a non-finite FWHMFactor becomes 0. Each
// replacement adds a line to `notes` when given. Sizes are copied as they are.
CameraInfo CopyCameraData(const TCameraData& raw, std::vector<std::string>* notes = nullptr);

// Empty when the size is usable for an image object, else the size as text ("0 x 480 pixels").
std::string CheckFrameSize(std::int32_t width, std::int32_t height);

// The camera list: display names and plug-in file names, index-parallel.
struct CameraList {
    std::vector<std::string> names;      // CameraName, shown in CameraComboBox
    std::vector<std::string> fileNames;  // DLLFileName, loaded when that entry is chosen
    std::size_t size() const { return names.size(); }
};

// Loads `fileName` from `folder` (or the path itself when it contains '/'),
// asks it for its description and appends one camera to `list`. False, and
// nothing appended, when it is not a loadable library or lacks
// DLLQueryCameraData. Logs "Camera Found: <name> version: <version>".
bool ProbePlugin(const std::string& folder, const std::string& fileName, CameraList& list);

// Logs "Scanning for Camera Plug-ins" and probes every "*.so" regular file in
// `folder`, in name order. Libraries that are no camera plug-ins are passed over.
CameraList ScanForPlugins(const std::string& folder);

// One loaded camera plug-in with its six bound functions and the two image
// objects sized from its description.
//
// Threads: Initialize, Uninitialize, QueryCameraData and GetCalibrate run on
// the GUI thread; SetUpExpose, GetImageObject, GetFocusObject (and the
// QueryCameraData before a main exposure) on the exposure workers. The owner
// stops every worker before Uninitialize or destruction.
class CameraPlugin {
public:
    // `folder` is where plug-in file names are looked up (the program's folder).
    CameraPlugin(IDialogs& dialogs, std::string folder);
    // Unloads the library when one is loaded.
    ~CameraPlugin();
    CameraPlugin(const CameraPlugin&) = delete;
    CameraPlugin& operator=(const CameraPlugin&) = delete;

    // Loads the plug-in, binds its exports, queries its description, creates
    // both image objects and initialises the camera. True once the library is
    // bound and the image objects exist, even when the camera reported failure
    // (read Initialized()). False, with everything unloaded, when already
    // initialised ("TCameraControl already initialized"), when the library will
    // not load, lacks DLLQueryCameraData ("Can't link to Camera dll functions")
    // or reports an unusable frame size.
    bool Initialize(const std::string& fileName);
    // Frees both image objects, clears Initialized and unloads the library.
    void Uninitialize();

    // Calls DLLQueryCameraData on the controller's record and refreshes Info().
    // The image objects keep the sizes they were created with.
    void QueryCameraData();
    // Calls DLLGetCalibrate, stores and returns the value (0 when not bound).
    std::int32_t GetCalibrate();

    // Thin calls; false when no plug-in is bound or the export is missing.
    bool SetUpExpose();
    // Into the main image.
    bool GetImageObject();
    // Into the focus image, around (x, y) in main-image pixels.
    bool GetFocusObject(std::int32_t x, std::int32_t y, double gain);

    bool Loaded() const { return library_ != nullptr; }
    // The library is never unloaded from now on: a thread is stuck in it.
    void LeaveLoaded() { leaveLoaded_.store(true); }
    bool Initialized() const { return initialized_.load(); }
    // Why the last Initialize or QueryCameraData left the camera not ready
    // after the user cancelled its wait (or one still runs): what happened
    // and what to do next. Empty otherwise.
    const std::string& Cancelled() const { return cancelled_; }
    std::int32_t ParPort() const { return parPort_; }
    void SetParPort(std::int32_t port) { parPort_ = port; }
    std::int32_t CalibrateValue() const { return calibrate_; }
    // A copy: a worker may refresh the record while the GUI thread reads it.
    CameraInfo Info() const;
    const std::string& FileName() const { return fileName_; }

    // Null while no plug-in is initialised.
    TImageObject* MainImage() { return mainImage_.get(); }
    TImageObject* FocusImage() { return focusImage_.get(); }

private:
    void Unload();
    // The camera is treated as not answering once its wait was cancelled.
    void GiveUp(const std::string& fileName);

    IDialogs& dialogs_;
    std::string folder_;
    std::string fileName_;
    void* library_ = nullptr;
    KVQueryCameraDataProc queryCameraData_ = nullptr;
    KVInitCameraProc initCamera_ = nullptr;
    KVSetUpExposeProc setUpExpose_ = nullptr;
    KVGetImageObjectProc getImageObject_ = nullptr;
    KVGetFocusObjectProc getFocusObject_ = nullptr;
    KVGetCalibrateProc getCalibrate_ = nullptr;
    std::atomic<bool> initialized_{false};
    std::atomic<bool> leaveLoaded_{false};
    std::int32_t parPort_ = 1;
    std::int32_t calibrate_ = 0;
    mutable std::mutex infoMutex_;
    CameraInfo info_;
    std::string cancelled_;  // GUI thread
    std::unique_ptr<TImageObject> mainImage_;
    std::unique_ptr<TImageObject> focusImage_;
    std::unique_ptr<TKVImageObject> mainInterface_;
    std::unique_ptr<TKVImageObject> focusInterface_;
};

}  // namespace kv
