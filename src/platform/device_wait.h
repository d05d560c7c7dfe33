// Calls that may wait on a device for seconds (a camera plug-in's first
// contact with its camera, a network focuser's connection) go through
// RunDeviceWait. The desktop installs a handler that runs them on a worker
// thread, keeps its window painted and, once the wait is long enough to be
// noticed, offers to cancel it; without a handler, and on any thread the
// handler does not take, they run inline.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kv {

enum class DeviceWaitEnd { Done, Cancelled };

struct DeviceWaitCall {
    // What is waited for, as the user knows it:
    // "the INDI focuser \"Focuser Simulator\" at localhost:7624".
    std::string what;
    // Copied onto the worker. Without `abort`, a cancelled call is left to
    // end on its own, so it must own (or share) everything it touches.
    std::function<void()> work;
    // Makes `work` return soon, called on the waiting thread when the user
    // cancels; the wait still ends only with `work`, which may then use
    // what its caller owns.
    std::function<void()> abort;
};

using DeviceWaitHandler = std::function<DeviceWaitEnd(const DeviceWaitCall& call)>;

// Empty: inline from now on.
void SetDeviceWaitHandler(DeviceWaitHandler handler);
// Runs `call.work`, through the handler when one is set. Cancelled only when
// the user cancelled the wait; the work's own failure is its own to report.
DeviceWaitEnd RunDeviceWait(const DeviceWaitCall& call);

// A worker a cancel left inside its call; `done` turns true once it is out.
void AdoptDeviceWaitWorker(std::thread worker, std::shared_ptr<const std::atomic<bool>> done);
// Joins the adopted workers that end within `boundMs`; the others are left
// running detached (their work owns what it uses). How many were left.
int JoinDeviceWaitWorkers(int boundMs);

}  // namespace kv
