// Worker threads.
//
// A worker runs one procedure to its end and then is finished; its owner keeps
// the object only to ask it to stop, to hold it between steps, or to release
// it. The destructor asks the procedure to stop, releases a hold and joins, so
// a worker can never outlive the object that owns it. Procedures must poll
// StopRequested() and call Checkpoint() between steps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kv {

enum class ThreadPriority { Normal, Highest, TimeCritical };

class WorkerThread {
public:
    using Procedure = std::function<void(WorkerThread&)>;

    explicit WorkerThread(Procedure procedure, ThreadPriority priority = ThreadPriority::Normal);
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Start();
    void RequestStop();
    bool StopRequested() const { return stop_.load(); }

    // Hold takes effect at the worker's next Checkpoint().
    void Hold();
    void Release();
    bool Held() const { return held_.load(); }
    // Called by the procedure between steps: waits while held; false when a stop was asked.
    bool Checkpoint();

    bool Finished() const { return finished_.load(); }
    void Join();

    // The priority the system granted (Normal when it refused a higher one).
    ThreadPriority GrantedPriority() const { return granted_.load(); }

private:
    Procedure procedure_;
    ThreadPriority priority_;
    std::atomic<ThreadPriority> granted_{ThreadPriority::Normal};
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
};

// Applies a priority to the calling thread; returns what was granted.
ThreadPriority SetCurrentThreadPriority(ThreadPriority wanted);

}  // namespace kv
