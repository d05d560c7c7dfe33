// Shared pieces of the desktop tests: a program folder, a dialog recorder, a
// focuser that stays busy, and the real main window on that folder.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <algorithm>
#include <atomic>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <gtest/gtest.h>

#include "app/main_form.h"
#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "focuser/focus_control.h"
#include "platform/broadcast.h"
#include "platform/dialogs.h"
#include "plugins/sim_camera/sim_camera.h"
#include "sim/sim_devices.h"
#include "support/temp_files.h"

namespace kvtest {

struct ShownBox {
    std::string text;
    kv::DialogType type;
    kv::DialogButtons buttons;
};

class RecordingDialogs : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string& text, kv::DialogType type, kv::DialogButtons buttons) override {
        shown.push_back({text, type, buttons});
        return answer;
    }
    // The main window shows deferred messages itself through Show; anything
    // else that defers is recorded as shown.
    void Defer(const kv::DeferredMessage& m) override { shown.push_back({m.text, m.type, m.buttons}); }
    void Beep() override { ++beeps; }
    bool Saw(const std::string& text) const {
        return std::ranges::any_of(shown, [&](const ShownBox& b) { return b.text == text; });
    }
    std::vector<ShownBox> shown;
    kv::DialogResult answer = kv::DialogResult::Ok;
    int beeps = 0;
};

// Keeps the diagnostic trace lines that would go out on the bus.
class TraceBus : public kv::IBroadcastBus {
public:
    bool Broadcast(std::string_view message, std::int64_t, std::int64_t, std::string_view text) override {
        std::lock_guard lock(mutex);
        if (message == kv::kMessageLogger) lines.emplace_back(text);
        return true;
    }
    bool Has(const std::string& prefix) {
        std::lock_guard lock(mutex);
        return std::ranges::any_of(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class BusyFocuser : public kv::TFocusControl {
public:
    explicit BusyFocuser(kv::IDialogs& dialogs) : kv::TFocusControl(dialogs) {}
    void StopMove() override { ++stops; }
    void CancelMovement() override { ++cancels; }
    bool GetIdle() const override { return !busy.load(); }
    std::atomic<bool> busy{true};
    int stops = 0;
    int cancels = 0;
};

// Keeps the KANTREL_MESSAGE codes and values sent.
class KantrelBus : public kv::IBroadcastBus {
public:
    using Codes = std::vector<std::pair<int, std::int64_t>>;
    bool Broadcast(std::string_view message, std::int64_t code, std::int64_t value, std::string_view) override {
        std::lock_guard lock(mutex_);
        if (message == kv::kKantrelMessage) sent_.emplace_back(static_cast<int>(code), value);
        return true;
    }
    Codes Sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    bool Has(int code, std::int64_t value) {
        return std::ranges::count(Sent(), std::pair<int, std::int64_t>{code, value}) > 0;
    }
    // The values sent with `code`, in order.
    std::vector<std::int64_t> Values(int code) {
        std::vector<std::int64_t> values;
        for (const auto& [c, v] : Sent()) {
            if (c == code) values.push_back(v);
        }
        return values;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

private:
    std::mutex mutex_;
    Codes sent_;
};

// A fresh program folder with the shipped catalogue, removed afterwards.
class ProgramFolder : public kv::test::TempDir {
public:
    ProgramFolder() {
        std::filesystem::copy_file(std::filesystem::path(KV_SOURCE_DIR) / "data" / "Focusers.ini",
                                   Path() / "Focusers.ini");
    }
    std::string Dir() const { return Path().string() + "/"; }
};

// Lets queued calls (log drains, timers) run.
template <class Pred>
bool ProcessEventsUntil(Pred done, int timeoutMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// The real main window on a program folder of its own, over the simulated
// ports: no test opens a serial port of the machine it runs on.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
    }
    void TearDown() override {
        window.reset();
        kvsim::ResetSimulatedDevices();
        if (previousBus_) kv::SetBroadcastBus(*previousBus_);
    }
    // Sends the program's broadcasts to `bus` until the test ends.
    void UseBus(kv::IBroadcastBus& bus) {
        previousBus_ = kv::BroadcastBus();
        kv::SetBroadcastBus(&bus);
    }
    // The simulated camera's plug-in, found by the plug-in scan under `asFile`.
    void AddSimCamera(const char* asFile = "sim_camera.so") {
        std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "sim_camera.so", folder.File(asFile));
    }
    // Creates the window; `simulate` picks the simulated camera and hub on a first start.
    bool Open(bool simulate = true) {
        window.emplace(dialogs, folder.Dir(),
                       simulate ? QStringList{"kessivane", "--simulate"} : QStringList{"kessivane"});
        return window->FormCreate();
    }
    template <class T = QWidget>
    T* Find(const char* name) {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    // Changes this window's copy of the simulated camera.
    template <class Change>
    void Camera(Change change) {
        if (void* camera = dlopen(folder.File("sim_camera.so").c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            auto get = reinterpret_cast<KVSimCameraGetConfigProc>(dlsym(camera, "KVSimCamera_GetConfig"));
            auto set = reinterpret_cast<KVSimCameraSetConfigProc>(dlsym(camera, "KVSimCamera_SetConfig"));
            KVSimCameraConfig c{};
            if (get != nullptr && set != nullptr) {
                get(&c);
                change(c);
                set(&c);
            }
            dlclose(camera);
        }
    }
    // Clicks Get Image and waits for the picture.
    void GetImage(int timeoutMs = 20000) {
        kv::TCameraControl* camera = window->CameraControl();
        window->SetStatusPanel(0, QString());
        Find<QAbstractButton>("GetImageButton")->click();
        ASSERT_TRUE(ProcessEventsUntil(
            [&] { return camera->Idle() && window->StatusPanelText(0).startsWith(" Image:"); }, timeoutMs));
    }
    // An image, and its brightest star selected as a click on it does.
    void PickStar() {
        ASSERT_NO_FATAL_FAILURE(GetImage());
        kv::TImageObject* image = window->CameraControl()->MainImage();
        QWidget* display = Find<QWidget>("ImageDisplay");
        const QPointF at(image->MaxX(), image->MaxY());
        QMouseEvent press(QEvent::MouseButtonPress, at, display->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(display, &press);
        ASSERT_TRUE(window->State().starSelected);
    }

    ProgramFolder folder;
    RecordingDialogs dialogs;
    std::optional<TMainForm> window;

private:
    std::optional<kv::IBroadcastBus*> previousBus_;
};

}  // namespace kvtest
