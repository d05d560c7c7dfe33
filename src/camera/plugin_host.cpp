#include "camera/plugin_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/device_wait.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

std::string ResolvePath(const std::string& folder, const std::string& fileName) {
    if (fileName.find('/') != std::string::npos || folder.empty()) {
        return fileName;
    }
    return folder.back() == '/' ? folder + fileName : folder + "/" + fileName;
}

std::string CopyText(const char* text) {
    if (text == nullptr) {
        return {};
    }
    return std::string(text, strnlen(text, kMaxCameraText));
}

std::string LastDlError() {
    const char* e = dlerror();
    return e != nullptr ? e : "unknown error";
}

template <typename Proc>
Proc Bind(void* library, const char* name) {
    return reinterpret_cast<Proc>(dlsym(library, name));
}

// Plug-in calls the user gave up on that are still running, by library path.
std::mutex g_inFlightMutex;
std::map<std::string, int>& InFlight() {
    static auto* const calls = new std::map<std::string, int>;
    return *calls;
}

bool CallStillRunning(const std::string& path) {
    std::lock_guard lock(g_inFlightMutex);
    return InFlight().count(path) != 0;
}

// Runs `call` into the plug-in at `path` on a device wait. The call holds a
// reference of its own to the library: cancelled, it is left to return on its
// own and the library stays loaded until it has, whatever its owner unloads
// meanwhile. `call` must own everything else it touches. False when cancelled.
bool AskPlugin(const std::string& what, const std::string& path, std::function<void()> call) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    {
        std::lock_guard lock(g_inFlightMutex);
        ++InFlight()[path];
    }
    const std::shared_ptr<void> hold(handle, [path](void* h) {
        {
            std::lock_guard lock(g_inFlightMutex);
            if (--InFlight()[path] == 0) InFlight().erase(path);
        }
        if (h != nullptr) dlclose(h);
    });
    return RunDeviceWait({what, [hold, call = std::move(call)] { call(); }, {}}) == DeviceWaitEnd::Done;
}

std::string PluginWhat(const std::string& fileName) { return "the camera plug-in " + fileName; }

std::string FormatReal(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

}  // namespace

CameraInfo CopyCameraData(const TCameraData& raw, std::vector<std::string>* notes) {
    auto note = [notes](std::string text) {
        if (notes != nullptr) {
            notes->push_back(std::move(text));
        }
    };
    CameraInfo info;
    info.CameraType = CopyText(raw.CameraType);
    info.CameraName = CopyText(raw.CameraName);
    info.Manufacturer = CopyText(raw.Manufacturer);
    info.ImageBits = raw.ImageBits;
    info.FocusBits = raw.FocusBits;
    info.HorizRes = raw.HorizRes;
    info.VertRes = raw.VertRes;
    info.HorizFocusFrame = raw.HorizFocusFrame;
    info.VertFocusFrame = raw.VertFocusFrame;
    info.HorizPixel = raw.HorizPixel;
    info.VertPixel = raw.VertPixel;
    info.FocusOffsetX = raw.FocusOffsetX;
    info.FocusOffsetY = raw.FocusOffsetY;
    info.DownloadTime = raw.DownloadTime;
    info.DLLFileName = CopyText(raw.DLLFileName);
    info.DLLVersion = CopyText(raw.DLLVersion);
    info.InterfaceType = raw.InterfaceType;
    info.Location00 = raw.Location00;
    info.Orientation = raw.Orientation;
    info.FWHMFactor = raw.FWHMFactor;
    info.XBinning = raw.XBinning;
    info.YBinning = raw.YBinning;
    info.FocusBinning = raw.FocusBinning;

    // The focus widths are divided by FocusBinning and scaled by the ratio of
    // the pixel sizes; neutral values keep those figures finite.
    if (info.FocusBinning < 1) {
        note("Camera plug-in reported FocusBinning " + std::to_string(info.FocusBinning) + "; 1 is used");
        info.FocusBinning = 1;
    }
    if (info.XBinning < 1) {
        note("Camera plug-in reported XBinning " + std::to_string(info.XBinning) + "; 1 is used");
        info.XBinning = 1;
    }
    if (info.YBinning < 1) {
        note("Camera plug-in reported YBinning " + std::to_string(info.YBinning) + "; 1 is used");
        info.YBinning = 1;
    }
    const auto usable = [](double v) { return std::isfinite(v) && v > 0.0; };
    if (!usable(info.HorizPixel) || !usable(info.VertPixel)) {
        note("Camera plug-in reported pixel size " + FormatReal(info.HorizPixel) + " x " +
             FormatReal(info.VertPixel) + "; 1 x 1 is used");
        info.HorizPixel = 1.0;
        info.VertPixel = 1.0;
    }
    if (!std::isfinite(info.FWHMFactor)) {
        note("Camera plug-in reported FWHM factor " + FormatReal(info.FWHMFactor) + "; 0 is used");
        info.FWHMFactor = 0.0;
    }
    return info;
}

std::string CheckFrameSize(std::int32_t width, std::int32_t height) {
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide ||
        static_cast<std::int64_t>(width) * height > kMaxImagePixels) {
        return std::to_string(width) + " x " + std::to_string(height) + " pixels";
    }
    return {};
}

bool ProbePlugin(const std::string& folder, const std::string& fileName, CameraList& list) {
    void* library = dlopen(ResolvePath(folder, fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return false;
    }
    const auto query = Bind<KVQueryCameraDataProc>(library, "DLLQueryCameraData");
    if (query == nullptr) {
        dlclose(library);
        return false;
    }
    // A plug-in that can describe itself without its device is asked that
    // way: a camera that is not chosen is left alone.
    const auto describe = Bind<KVDescribeCameraProc>(library, "DLLDescribeCamera");
    auto scratch = std::make_shared<TCameraData>();
    if (describe != nullptr) {
        describe(scratch.get());
    } else if (!AskPlugin(PluginWhat(fileName), ResolvePath(folder, fileName), [scratch, query] { query(scratch.get()); })) {
        WriteProgramLog("The camera plug-in " + fileName +
                        " did not answer and was cancelled; it is left out of the camera list. Check its camera, "
                        "then restart Kessivane");
        dlclose(library);
        return false;
    }
    // Every text is copied here, before the library (which owns them) goes.
    const CameraInfo info = CopyCameraData(*scratch);
    const std::string name = info.CameraName.empty() ? fileName : info.CameraName;
    list.names.push_back(name);
    WriteProgramLog("Camera Found: " + name + " version: " + info.DLLVersion);
    list.fileNames.push_back(info.DLLFileName.empty() ? fileName : info.DLLFileName);
    std::this_thread::yield();
    dlclose(library);
    return true;
}

CameraList ScanForPlugins(const std::string& folder) {
    WriteProgramLog("Scanning for Camera Plug-ins", LogKind::Trace);
    CameraList list;
    std::vector<std::string> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->path().extension() == ".so" && it->is_regular_file(typeError)) {
            found.push_back(it->path().filename().string());
        }
    }
    // Directory order is arbitrary; name order gives the same list every start.
    std::sort(found.begin(), found.end());
    for (const std::string& name : found) {
        ProbePlugin(folder, name, list);
    }
    return list;
}

CameraPlugin::CameraPlugin(IDialogs& dialogs, std::string folder) : dialogs_(dialogs), folder_(std::move(folder)) {}

CameraPlugin::~CameraPlugin() {
    if (Loaded()) {
        Uninitialize();
    }
}

bool CameraPlugin::Initialize(const std::string& fileName) {
    if (initialized_.load()) {
        WriteProgramLog("TCameraControl already initialized");
        dialogs_.Show("TCameraControl already initialized", DialogType::Error, DialogButtons::Ok);
        return false;
    }
    // A camera that reported failure is still bound; let it go before the next one.
    if (Loaded()) {
        Uninitialize();
    }

    const std::string path = ResolvePath(folder_, fileName);
    cancelled_.clear();
    // A cancelled call still in the plug-in is not joined by a second one.
    if (CallStillRunning(path)) {
        cancelled_ = "The camera plug-in " + fileName +
                     " has not yet returned from the call that was cancelled; the camera is not ready. Wait a few "
                     "seconds, then use Update";
        WriteProgramLog(cancelled_);
        return false;
    }
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        WriteProgramLog("Could not load camera plug-in " + path + ": " + LastDlError());
        return false;
    }
    WriteProgramLog("Linking Camera plug-in", LogKind::Trace);
    queryCameraData_ = Bind<KVQueryCameraDataProc>(library_, "DLLQueryCameraData");
    if (queryCameraData_ == nullptr) {
        dialogs_.Show("Can't link to Camera dll functions", DialogType::Error, DialogButtons::Ok);
        WriteProgramLog("Can't link to Camera dll functions");
        Unload();
        std::this_thread::yield();
        return false;
    }
    WriteProgramLog("Camera plug-in linked", LogKind::Trace);
    initCamera_ = Bind<KVInitCameraProc>(library_, "DLLInitCamera");
    setUpExpose_ = Bind<KVSetUpExposeProc>(library_, "DLLSetUpExpose");
    getImageObject_ = Bind<KVGetImageObjectProc>(library_, "DLLGetImageObject");
    getFocusObject_ = Bind<KVGetFocusObjectProc>(library_, "DLLGetFocusObject");
    getCalibrate_ = Bind<KVGetCalibrateProc>(library_, "DLLGetCalibrate");
    // A missing export is never called; the log says which one is absent.
    const std::pair<const char*, bool> exports[] = {
        {"DLLInitCamera", initCamera_ != nullptr},     {"DLLSetUpExpose", setUpExpose_ != nullptr},
        {"DLLGetImageObject", getImageObject_ != nullptr}, {"DLLGetFocusObject", getFocusObject_ != nullptr},
        {"DLLGetCalibrate", getCalibrate_ != nullptr},
    };
    for (const auto& [name, present] : exports) {
        if (!present) {
            WriteProgramLog(std::string("Camera plug-in does not export ") + name);
        }
    }

    auto record = std::make_shared<TCameraData>();
    if (!AskPlugin(PluginWhat(fileName), path, [record, query = queryCameraData_] { query(record.get()); })) {
        GiveUp(fileName);
        Unload();
        return false;
    }
    std::vector<std::string> notes;
    CameraInfo info = CopyCameraData(*record, &notes);
    for (const std::string& line : notes) {
        WriteProgramLog(line);
    }
    const std::string mainProblem = CheckFrameSize(info.HorizRes, info.VertRes);
    const std::string focusProblem = CheckFrameSize(info.HorizFocusFrame, info.VertFocusFrame);
    if (!mainProblem.empty() || !focusProblem.empty()) {
        const std::string text =
            (!mainProblem.empty() ? "The camera plug-in reports an unusable main image size: " + mainProblem
                                  : "The camera plug-in reports an unusable focus frame size: " + focusProblem) +
            " (each side must be 1 to " + std::to_string(kMaxImageSide) + " pixels, and a frame at most " +
            std::to_string(kMaxImagePixels) + " pixels).";
        WriteProgramLog(text);
        dialogs_.Show(text, DialogType::Error, DialogButtons::Ok);
        Unload();
        std::this_thread::yield();
        return false;
    }
    {
        std::lock_guard lock(infoMutex_);
        info_ = info;
    }
    fileName_ = fileName;

    mainImage_ = std::make_unique<TImageObject>(info.HorizRes, info.VertRes);
    mainInterface_ = std::make_unique<TKVImageObject>(mainImage_.get());
    WriteProgramLog("Main Image object instantiated", LogKind::Trace);
    focusImage_ = std::make_unique<TImageObject>(info.HorizFocusFrame, info.VertFocusFrame);
    focusInterface_ = std::make_unique<TKVImageObject>(focusImage_.get());
    WriteProgramLog("Focus Image object instantiated", LogKind::Trace);

    auto ready = std::make_shared<std::atomic<bool>>(false);
    if (initCamera_ != nullptr &&
        !AskPlugin(PluginWhat(fileName), path, [ready, init = initCamera_, port = parPort_] { ready->store(init(port) != 0); })) {
        // Bound but not ready: the image objects stay for the next Uninitialize.
        GiveUp(fileName);
        return true;
    }
    initialized_.store(ready->load());
    WriteProgramLog(initialized_.load() ? "Plug-in reported successful initialization"
                                        : "Plug-in reported initialization FAILED");
    return true;
}

void CameraPlugin::Uninitialize() {
    WriteProgramLog("In CameraControl Unitialization method", LogKind::Trace);
    mainInterface_.reset();
    mainImage_.reset();
    WriteProgramLog("Main image object freed", LogKind::Trace);
    focusInterface_.reset();
    focusImage_.reset();
    WriteProgramLog("Focus image object freed", LogKind::Trace);
    initialized_.store(false);
    Unload();
    std::this_thread::yield();
    WriteProgramLog("Camera plug-in freed", LogKind::Trace);
}

void CameraPlugin::Unload() {
    queryCameraData_ = nullptr;
    initCamera_ = nullptr;
    setUpExpose_ = nullptr;
    getImageObject_ = nullptr;
    getFocusObject_ = nullptr;
    getCalibrate_ = nullptr;
    if (library_ != nullptr) {
        if (!leaveLoaded_.load()) {
            dlclose(library_);
        }
        library_ = nullptr;
    }
}

void CameraPlugin::QueryCameraData() {
    if (queryCameraData_ == nullptr) {
        return;
    }
    auto record = std::make_shared<TCameraData>();
    if (!AskPlugin(PluginWhat(fileName_), ResolvePath(folder_, fileName_),
                   [record, query = queryCameraData_] { query(record.get()); })) {
        GiveUp(fileName_);
        return;
    }
    CameraInfo info = CopyCameraData(*record);
    std::lock_guard lock(infoMutex_);
    info_ = std::move(info);
}

void CameraPlugin::GiveUp(const std::string& fileName) {
    initialized_.store(false);
    cancelled_ = "The camera plug-in " + fileName +
                 " did not answer and was cancelled; the camera is not ready. Check the camera and its connection, "
                 "then use Update";
    WriteProgramLog(cancelled_);
}

CameraInfo CameraPlugin::Info() const {
    std::lock_guard lock(infoMutex_);
    return info_;
}

std::int32_t CameraPlugin::GetCalibrate() {
    calibrate_ = getCalibrate_ != nullptr ? getCalibrate_() : 0;
    return calibrate_;
}

bool CameraPlugin::SetUpExpose() { return setUpExpose_ != nullptr && setUpExpose_() != 0; }

bool CameraPlugin::GetImageObject() {
    if (getImageObject_ == nullptr || mainInterface_ == nullptr) {
        return false;
    }
    // Re-attached every time: a plug-in may have pointed the interface elsewhere.
    mainInterface_->Attach(mainImage_.get());
    return getImageObject_(mainInterface_->Interface()) != 0;
}

bool CameraPlugin::GetFocusObject(std::int32_t x, std::int32_t y, double gain) {
    if (getFocusObject_ == nullptr || focusInterface_ == nullptr) {
        return false;
    }
    focusInterface_->Attach(focusImage_.get());
    return getFocusObject_(focusInterface_->Interface(), x, y, gain) != 0;
}

}  // namespace kv
