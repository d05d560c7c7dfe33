#include "platform/device_wait.h"

#include <mutex>
#include <utility>

namespace kv {

namespace {
std::mutex g_handlerMutex;
DeviceWaitHandler& Handler() {
    static DeviceWaitHandler* const handler = new DeviceWaitHandler;
    return *handler;
}
}  // namespace

void SetDeviceWaitHandler(DeviceWaitHandler handler) {
    std::lock_guard lock(g_handlerMutex);
    Handler() = std::move(handler);
}

void RunDeviceWait(const std::function<void()>& work) {
    DeviceWaitHandler handler;
    {
        std::lock_guard lock(g_handlerMutex);
        handler = Handler();
    }
    if (handler) {
        handler(work);
    } else {
        work();
    }
}

}  // namespace kv
