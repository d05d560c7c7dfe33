#include "platform/device_wait.h"

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

namespace kv {

namespace {
std::mutex g_handlerMutex;
DeviceWaitHandler& Handler() {
    static DeviceWaitHandler* const handler = new DeviceWaitHandler;
    return *handler;
}

struct Adopted {
    std::thread worker;
    std::shared_ptr<const std::atomic<bool>> done;
};
std::mutex g_adoptedMutex;
// Never destroyed: a worker still running at exit is detached, not joined by
// a static destructor.
std::vector<Adopted>& AdoptedWorkers() {
    static auto* const workers = new std::vector<Adopted>;
    return *workers;
}

// Joins those that have ended; the caller holds g_adoptedMutex.
void ReapEnded(std::vector<Adopted>& workers) {
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->done->load()) {
            it->worker.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}
}  // namespace

void SetDeviceWaitHandler(DeviceWaitHandler handler) {
    std::lock_guard lock(g_handlerMutex);
    Handler() = std::move(handler);
}

DeviceWaitEnd RunDeviceWait(const DeviceWaitCall& call) {
    DeviceWaitHandler handler;
    {
        std::lock_guard lock(g_handlerMutex);
        handler = Handler();
    }
    if (handler) return handler(call);
    call.work();
    return DeviceWaitEnd::Done;
}

void AdoptDeviceWaitWorker(std::thread worker, std::shared_ptr<const std::atomic<bool>> done) {
    std::lock_guard lock(g_adoptedMutex);
    auto& workers = AdoptedWorkers();
    ReapEnded(workers);
    workers.push_back({std::move(worker), std::move(done)});
}

int JoinDeviceWaitWorkers(int boundMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    std::lock_guard lock(g_adoptedMutex);
    auto& workers = AdoptedWorkers();
    for (;;) {
        ReapEnded(workers);
        if (workers.empty() || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int left = static_cast<int>(workers.size());
    for (auto& w : workers) w.worker.detach();
    workers.clear();
    return left;
}

}  // namespace kv
