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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
    // Joins if the procedure ends within `ms` real milliseconds; false when it
    // is still running then (the thread is left as it is).
    bool JoinFor(int ms);

    friend void AbandonWorker(std::unique_ptr<WorkerThread> worker);

    // The priority the system granted (Normal when it refused a higher one).
    ThreadPriority GrantedPriority() const { return granted_.load(); }

private:
    Procedure procedure_;
    ThreadPriority priority_;
    std::atomic<ThreadPriority> granted_{ThreadPriority::Normal};
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    std::atomic<bool> finished_{false};
    std::condition_variable finishedCv_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
};

// The threads one object owns. Each is started through the set, the finished
// ones are reaped when new ones start, and one call stops and joins them all,
// which the owner makes before anything they touch goes away.
class ThreadSet {
public:
    ThreadSet() = default;
    ~ThreadSet() { StopAndJoinAll(); }
    ThreadSet(const ThreadSet&) = delete;
    ThreadSet& operator=(const ThreadSet&) = delete;

    // Starts `procedure` on a new owned thread; reaps the finished ones first.
    void Start(WorkerThread::Procedure procedure, ThreadPriority priority = ThreadPriority::Normal);
    void RequestStopAll();
    void StopAndJoinAll();
    // As StopAndJoinAll, but waits at most `ms` for each thread. A thread still
    // running then (blocked in a call that never returns, such as a driver
    // whose device was unplugged) is abandoned: detached and kept alive for
    // the rest of the process, with whatever its procedure holds. False when
    // any thread was abandoned.
    bool StopAndJoinAllFor(int ms);
    // Threads not yet finished.
    std::size_t Running() const;

private:
    std::vector<std::unique_ptr<WorkerThread>> TakeAllAskingThemToStop();

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<WorkerThread>> threads_;
};

// Lets go of a worker that will not end in time (blocked in a call that never
// returns): it runs on detached, and the object is kept for the rest of the
// process, since its procedure still uses it.
void AbandonWorker(std::unique_ptr<WorkerThread> worker);

// Applies a priority to the calling thread; returns what was granted.
ThreadPriority SetCurrentThreadPriority(ThreadPriority wanted);

}  // namespace kv
