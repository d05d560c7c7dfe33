#include "platform/worker_thread.h"

#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <exception>

namespace kv {

WorkerThread::WorkerThread(Procedure procedure, ThreadPriority priority)
    : procedure_(std::move(procedure)), priority_(priority) {}

WorkerThread::~WorkerThread() {
    RequestStop();
    Release();
    Join();
}

void WorkerThread::Start() {
    std::lock_guard lock(mutex_);
    // A worker runs its procedure once: a second Start, while running or after
    // the end, does nothing.
    if (thread_.joinable() || finished_.load()) {
        return;
    }
    thread_ = std::thread([this] {
        granted_.store(SetCurrentThreadPriority(priority_));
        try {
            if (procedure_) {
                procedure_(*this);
            }
        } catch (const std::exception& e) {
            // Nothing above this frame could catch it; ending the process for
            // one worker's failure would lose the user's session.
            std::fprintf(stderr, "Worker thread ended by an error: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "Worker thread ended by an unknown error\n");
        }
        finished_.store(true);
    });
}

void WorkerThread::RequestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    cv_.notify_all();
}

void WorkerThread::Hold() {
    std::lock_guard lock(mutex_);
    held_.store(true);
}

void WorkerThread::Release() {
    {
        std::lock_guard lock(mutex_);
        held_.store(false);
    }
    cv_.notify_all();
}

bool WorkerThread::Checkpoint() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !held_.load() || stop_.load(); });
    return !stop_.load();
}

void WorkerThread::Join() {
    // The procedure itself may end by dropping its owner; it cannot wait for itself.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

ThreadPriority SetCurrentThreadPriority(ThreadPriority wanted) {
    int policy = SCHED_OTHER;
    sched_param param{};
    switch (wanted) {
    case ThreadPriority::Normal:
        // New threads inherit their creator's policy; a worker started from a
        // real-time thread must not keep it by accident.
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        return ThreadPriority::Normal;
    case ThreadPriority::Highest: {
        policy = SCHED_RR;
        const int low = sched_get_priority_min(SCHED_RR);
        const int high = sched_get_priority_max(SCHED_RR);
        param.sched_priority = low + 1 <= high ? low + 1 : low;
        break;
    }
    case ThreadPriority::TimeCritical:
        policy = SCHED_FIFO;
        param.sched_priority = sched_get_priority_max(SCHED_FIFO);
        break;
    }
    // Real-time scheduling needs a privilege most desktop users lack; the
    // thread then simply runs at normal priority.
    if (pthread_setschedparam(pthread_self(), policy, &param) != 0) {
        return ThreadPriority::Normal;
    }
    return wanted;
}

}  // namespace kv
