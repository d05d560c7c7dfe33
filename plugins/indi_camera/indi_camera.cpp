// A camera reached through a device server (often a small computer at the
// telescope). Settings come from "indi_camera.ini" in the user's settings folder, or else beside this library:
//   Host=localhost  Port=7624  Device=<name; empty: the first camera found>
//   FocusWidth=64  FocusHeight=64  Timeout=30 (seconds beyond the exposure)
// The record asks the server for the sensor's size (bounded) once the camera
// is chosen; the folder scan gets the settings' record without any connection,
// and without a server the record shows 1280 x 1024.
// The host cannot tell this plug-in the exposure time before it asks for the
// frame, so DLLSetUpExpose starts nothing and the frame call exposes and waits
// for the file, with a bound: a server that stops answering ends the exposure
// with an error, never a hang. Failures are returned as false and written to
// standard error with the reason.
#include <baseclient.h>
#include <basedevice.h>
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <indiproperty.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/indi_send.h"
#include "platform/no_sigpipe.h"
#include "shell/program_folder.h"
#include "fits_decode.h"
#include "kessivane/camera_plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
    std::string host = "localhost";
    int port = 7624;
    std::string device;
    int focusWidth = 64;
    int focusHeight = 64;
    int timeoutSeconds = 30;
};

constexpr int kConnectWaitMs = 5000;
// How long the exit waits for a frame still being fetched: 200 tries 10 ms apart.
constexpr int kExitLockTries = 200;
constexpr int kExitLockPollMs = 10;
constexpr int kFallbackWidth = 1280;  // until the camera has told its size
constexpr int kFallbackHeight = 1024;


void Fail(const std::string& why) { std::fprintf(stderr, "indi_camera: %s\n", why.c_str()); }

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

Config LoadConfig() {
    Config c;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LoadConfig), &info) == 0 || info.dli_fname == nullptr) return c;
    // The user's own file, in the folder that holds the program's settings,
    // comes first: an installed program folder is not the user's to write.
    std::string folder = info.dli_fname;
    folder = folder.substr(0, folder.find_last_of('/') + 1);
    const std::string own = kv::UserFolder(folder, kv::ReadFolderEnvironment(), [](const std::string& f) {
        return ::access(f.c_str(), W_OK) == 0;
    }) + "indi_camera.ini";
    std::ifstream in(kv::FileExists(own) ? own : folder + "indi_camera.ini");
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos || line[0] == ';' || line[0] == '#') continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        const auto number = [&](int fallback) {
            try {
                const int v = std::stoi(value);
                return v > 0 ? v : fallback;
            } catch (...) {
                return fallback;
            }
        };
        if (key == "Host" && !value.empty()) c.host = value;
        if (key == "Port") c.port = number(c.port);
        if (key == "Device") c.device = value;
        if (key == "FocusWidth") c.focusWidth = std::min(number(c.focusWidth), 4096);
        if (key == "FocusHeight") c.focusHeight = std::min(number(c.focusHeight), 4096);
        if (key == "Timeout") c.timeoutSeconds = number(c.timeoutSeconds);
    }
    return c;
}

// What the plug-in has learnt from the server, under `mutex`.
class Link : public INDI::BaseClient {
public:
    std::mutex mutex;
    std::condition_variable changed;
    std::string device;  // chosen camera
    bool hasConnection = false;
    bool connected = false;
    bool lost = false;
    bool hasExposure = false;
    bool hasFrame = false;
    int width = 0, height = 0;
    double pixelX = 0, pixelY = 0;
    std::vector<char> blob;  // the last frame file
    bool blobReady = false;
    bool exposureFailed = false;

protected:
    void newProperty(INDI::Property p) override { Take(p); }
    void updateProperty(INDI::Property p) override { Take(p); }
    void serverDisconnected(int) override {
        std::lock_guard lock(mutex);
        lost = true;
        changed.notify_all();
    }

private:
    void Take(INDI::Property p) {
        std::lock_guard lock(mutex);
        const std::string dev = p.getDeviceName();
        if (device.empty() && p.isNameMatch("DRIVER_INFO")) {
            // The first device whose driver says it is a camera.
            if (auto* t = p.getText()) {
                if (auto* w = t->findWidgetByName("DRIVER_INTERFACE")) {
                    if ((std::atoi(w->getText()) & INDI::BaseDevice::CCD_INTERFACE) != 0) device = dev;
                }
            }
        }
        if (dev != device) {
            changed.notify_all();
            return;
        }
        if (p.isNameMatch("CONNECTION")) {
            hasConnection = true;
            if (auto* sw = p.getSwitch()) {
                if (auto* w = sw->findWidgetByName("CONNECT")) connected = w->getState() == ISS_ON;
            }
        } else if (p.isNameMatch("CCD_EXPOSURE")) {
            hasExposure = true;
            if (p.getState() == IPS_ALERT) exposureFailed = true;
        } else if (p.isNameMatch("CCD_FRAME")) {
            hasFrame = true;
        } else if (p.isNameMatch("CCD_INFO")) {
            if (auto* n = p.getNumber()) {
                if (auto* w = n->findWidgetByName("CCD_MAX_X")) width = static_cast<int>(w->getValue());
                if (auto* w = n->findWidgetByName("CCD_MAX_Y")) height = static_cast<int>(w->getValue());
                if (auto* w = n->findWidgetByName("CCD_PIXEL_SIZE_X")) pixelX = w->getValue();
                if (auto* w = n->findWidgetByName("CCD_PIXEL_SIZE_Y")) pixelY = w->getValue();
            }
        } else if (p.getType() == INDI_BLOB && p.isNameMatch("CCD1")) {
            if (auto* b = p.getBLOB()) {
                for (auto& w : *b) {
                    const char* data = static_cast<const char*>(w.getBlob());
                    if (data != nullptr && w.getBlobLen() > 0) {
                        blob.assign(data, data + w.getBlobLen());
                        blobReady = true;
                    }
                }
            }
        }
        changed.notify_all();
    }
};

// The link and the exposures: one frame at a time.
//
// The link's end does not depend on the order statics are destroyed in. The
// library is never unloaded (linked -z nodelete; a unique symbol would keep
// it loaded anyway) and its state lives in storage that is never destroyed.
// The network thread reads statics of the client library as well, so it is
// stopped at exit by a handler registered once a connection has been set up:
// exit handlers run last-registered first, so it runs before the statics the
// client library created on the way are destroyed. The stopped link is kept,
// not destroyed.
struct Shared {
    std::timed_mutex mutex;
    std::unique_ptr<Link> link;
    std::vector<std::unique_ptr<Link>> ended;  // stopped at exit, kept
    Config config;
};
Shared& S() {
    alignas(Shared) static unsigned char storage[sizeof(Shared)];
    static Shared* const shared = new (storage) Shared;
    return *shared;
}
std::timed_mutex& g_mutex = S().mutex;
std::unique_ptr<Link>& g_link = S().link;
Config& g_config = S().config;

void StopAtExit() {
    // A frame still being fetched holds the lock; the exit does not wait long
    // for it. Plain tries rather than a timed lock: the thread checker cannot
    // see a timed lock taken and would call its release a fault.
    bool locked = g_mutex.try_lock();
    for (int i = 0; !locked && i < kExitLockTries; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kExitLockPollMs));
        locked = g_mutex.try_lock();
    }
    if (!locked) return;
    std::unique_lock lock(g_mutex, std::adopt_lock);
    if (!g_link) return;
    if (g_link->isServerConnected()) g_link->disconnectServer();
    S().ended.push_back(std::move(g_link));
}

template <class Pred>
bool WaitFor(Link& link, std::unique_lock<std::mutex>& lock, Clock::duration bound, Pred ready) {
    return link.changed.wait_for(lock, bound, [&] { return link.lost || ready(); }) && !link.lost;
}

void Drop() {
    if (g_link) {
        if (g_link->isServerConnected()) g_link->disconnectServer();
        g_link.reset();
    }
}

// Connected to the server and the camera, its size known; g_mutex held.
bool Connect() {
    if (g_link) {
        std::lock_guard lock(g_link->mutex);
        if (!g_link->lost && g_link->connected && g_link->width > 0) return true;
    }
    Drop();
    g_config = LoadConfig();
    auto link = std::make_unique<Link>();
    link->device = g_config.device;
    link->setServer(g_config.host.c_str(), static_cast<unsigned>(g_config.port));
    link->setConnectionTimeout(kConnectWaitMs / 1000, 0);
    const std::string where = g_config.host + ":" + std::to_string(g_config.port);
    if (!link->connectServer()) {
        Fail("no server answers at " + where);
        return false;
    }
    Link& l = *link;
    g_link = std::move(link);
    std::string device;
    bool alreadyConnected = false;
    {
        std::unique_lock lock(l.mutex);
        if (!WaitFor(l, lock, std::chrono::milliseconds(kConnectWaitMs), [&] { return !l.device.empty() && l.hasConnection; })) {
            Fail(g_config.device.empty() ? "the server at " + where + " has no camera"
                                         : "the server at " + where + " has no device \"" + g_config.device + "\"");
            lock.unlock();
            Drop();
            return false;
        }
        device = l.device;
        alreadyConnected = l.connected;
    }
    if (!alreadyConnected) kv::indi::SendSwitch(l, device, "CONNECTION", {"CONNECT", "DISCONNECT"}, "CONNECT");
    l.setBLOBMode(B_ALSO, device.c_str(), nullptr);
    std::unique_lock lock(l.mutex);
    if (!WaitFor(l, lock, std::chrono::milliseconds(kConnectWaitMs),
                 [&] { return l.connected && l.hasExposure && l.width > 0 && l.height > 0; })) {
        Fail("the camera \"" + device + "\" at " + where + " did not connect");
        lock.unlock();
        Drop();
        return false;
    }
    std::atexit(StopAtExit);
    return true;
}

// Exposes the window (x, y, w, h) of the sensor and decodes the frame into
// `pixels` (row-major, `outW` x `outH` as the file says); g_mutex held.
bool Expose(double seconds, int x, int y, int w, int h, std::vector<std::uint16_t>& pixels, long& outW, long& outH) {
    Link& l = *g_link;
    std::string device;
    bool frame = false;
    {
        std::lock_guard lock(l.mutex);
        device = l.device;
        frame = l.hasFrame;
        l.blobReady = false;
        l.exposureFailed = false;
        l.blob.clear();
    }
    if (frame) {
        kv::indi::SendNumbers(l, device, "CCD_FRAME",
                              {{"X", double(x)}, {"Y", double(y)}, {"WIDTH", double(w)}, {"HEIGHT", double(h)}});
    }
    kv::indi::SendNumbers(l, device, "CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", seconds}});
    std::vector<char> file;
    {
        std::unique_lock lock(l.mutex);
        const auto bound = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(seconds + g_config.timeoutSeconds));
        if (!WaitFor(l, lock, bound, [&] { return l.blobReady || l.exposureFailed; })) {
            Fail(l.lost ? "the server went away during the exposure" : "no frame arrived in time");
            return false;
        }
        if (!l.blobReady) {
            Fail("the camera reported that the exposure failed");
            return false;
        }
        file.swap(l.blob);
    }
    kv::indi::FitsFrame decoded;
    std::string error;
    if (!kv::indi::DecodeFits(file.data(), file.size(), decoded, error)) {
        Fail(error);
        return false;
    }
    outW = decoded.width;
    outH = decoded.height;
    pixels.swap(decoded.pixels);
    return true;
}

// Cuts the target's size out of the frame around (cx, cy) (frame pixels),
// applies the gain and hands it to the host.
KVBool Deliver(KVImageObject* image, bool focus, int cx, int cy, double gain) {
    if (image == nullptr) return KV_FALSE;
    KVImageHandle handle = nullptr;
    int32_t width = 0, height = 0;
    double seconds = 0.0;
    if (image->GetImageObject(image, &handle) != KV_S_OK || image->GetHorizWords(image, &width) != KV_S_OK ||
        image->GetVertWords(image, &height) != KV_S_OK || width <= 0 || height <= 0) {
        return KV_FALSE;
    }
    if (image->GetExposureTime(image, &seconds) != KV_S_OK || !(seconds > 0.0)) seconds = 1.0;
    std::lock_guard lock(g_mutex);
    kv::NoSigPipe noSigPipe;
    if (!Connect()) return KV_FALSE;
    int sensorW = 0, sensorH = 0;
    {
        std::lock_guard l(g_link->mutex);
        sensorW = g_link->width;
        sensorH = g_link->height;
    }
    int left = 0, top = 0, w = sensorW, h = sensorH;
    if (focus) {
        w = std::min<int>(width, sensorW);
        h = std::min<int>(height, sensorH);
        left = std::clamp(cx - w / 2, 0, sensorW - w);
        top = std::clamp(cy - h / 2, 0, sensorH - h);
    }
    std::vector<std::uint16_t> frame;
    long frameW = 0, frameH = 0;
    if (!Expose(seconds, left, top, w, h, frame, frameW, frameH)) return KV_FALSE;
    // A camera without a frame setting sends the whole sensor: cut here.
    const long offX = frameW > w ? left : 0;
    const long offY = frameH > h ? top : 0;
    std::vector<std::uint16_t> out(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    for (long y = 0; y < height && y + offY < frameH; ++y) {
        for (long x = 0; x < width && x + offX < frameW; ++x) {
            const double v = frame[static_cast<std::size_t>((y + offY) * frameW + x + offX)] * gain;
            out[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
        }
    }
    image->SetExposureTime(image, seconds);
    return image->LoadArray(image, handle, out.data()) == KV_S_OK ? KV_TRUE : KV_FALSE;
}

}  // namespace

namespace {

void Describe(TCameraData* data, const Config& config, int width, int height, double px, double py) {
    data->CameraType = "INDI";
    data->CameraName = "INDI Camera";
    data->Manufacturer = "INDI";
    data->ImageBits = 16;
    data->FocusBits = 16;
    data->HorizRes = width;
    data->VertRes = height;
    data->HorizFocusFrame = std::min(config.focusWidth, width);
    data->VertFocusFrame = std::min(config.focusHeight, height);
    data->HorizPixel = px;
    data->VertPixel = py;
    data->DownloadTime = 500;
    data->DLLFileName = "indi_camera.so";
    data->DLLVersion = "1.0";
    data->XBinning = 1;
    data->YBinning = 1;
    data->FocusBinning = 1;
}

}  // namespace

// For the host's folder scan: the record from the settings alone. A camera
// that is not chosen is never connected to.
KV_PLUGIN_EXPORT void DLLDescribeCamera(TCameraData* data) {
    if (data == nullptr) return;
    Describe(data, LoadConfig(), kFallbackWidth, kFallbackHeight, 1.0, 1.0);
}

KV_PLUGIN_EXPORT void DLLQueryCameraData(TCameraData* data) {
    if (data == nullptr) return;
    int width = kFallbackWidth, height = kFallbackHeight;
    double px = 1.0, py = 1.0;
    Config config;
    {
        std::lock_guard lock(g_mutex);
        config = LoadConfig();
        kv::NoSigPipe noSigPipe;
        // The host sizes its images from this record before it initialises
        // the camera, so the camera's own size is asked for here already.
        (void)Connect();
        if (g_link) {
            std::lock_guard l(g_link->mutex);
            if (g_link->width > 0 && g_link->height > 0) {
                width = g_link->width;
                height = g_link->height;
                if (g_link->pixelX > 0 && g_link->pixelY > 0) {
                    px = g_link->pixelX;
                    py = g_link->pixelY;
                }
            }
        }
    }
    Describe(data, config, width, height, px, py);
}

KV_PLUGIN_EXPORT KVBool DLLInitCamera(int32_t) {
    std::lock_guard lock(g_mutex);
    kv::NoSigPipe noSigPipe;
    return Connect() ? KV_TRUE : KV_FALSE;
}

KV_PLUGIN_EXPORT KVBool DLLSetUpExpose(void) { return KV_FALSE; }

KV_PLUGIN_EXPORT KVBool DLLGetImageObject(KVImageObject* image) { return Deliver(image, false, 0, 0, 1.0); }

KV_PLUGIN_EXPORT KVBool DLLGetFocusObject(KVImageObject* image, int32_t x, int32_t y, double gain) {
    return Deliver(image, true, x, y, gain > 0.0 ? gain : 1.0);
}

KV_PLUGIN_EXPORT int32_t DLLGetCalibrate(void) { return 0; }
