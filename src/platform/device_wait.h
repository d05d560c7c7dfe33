// Calls that may wait on a device for seconds (a camera plug-in's first
// contact with its camera, a network focuser's connection) go through
// RunDeviceWait. The desktop installs a handler that runs them on a worker
// thread and keeps its window painted until they return; without a handler,
// and on any thread the handler does not take, they run inline.
#pragma once

#include <functional>

namespace kv {

using DeviceWaitHandler = std::function<void(const std::function<void()>& work)>;

// Empty: inline from now on.
void SetDeviceWaitHandler(DeviceWaitHandler handler);
// Runs `work` to its end, through the handler when one is set.
void RunDeviceWait(const std::function<void()>& work);

}  // namespace kv
