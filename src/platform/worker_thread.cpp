#include "platform/worker_thread.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
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
        {
            std::lock_guard finishedLock(mutex_);
            finished_.store(true);
        }
        finishedCv_.notify_all();
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

bool WorkerThread::JoinFor(int ms) {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return false;
    {
        std::unique_lock lock(mutex_);
        if (!thread_.joinable()) return true;
        if (!finishedCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_.load(); })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

void AbandonWorker(std::unique_ptr<WorkerThread> worker) {
    if (!worker) return;
    {
        std::lock_guard lock(worker->mutex_);
        if (worker->thread_.joinable()) worker->thread_.detach();
    }
    static std::mutex keptMutex;
    static auto* kept = new std::vector<std::unique_ptr<WorkerThread>>;  // never freed, on purpose
    std::lock_guard lock(keptMutex);
    kept->push_back(std::move(worker));
}

void ThreadSet::Start(WorkerThread::Procedure procedure, ThreadPriority priority) {
    std::lock_guard lock(mutex_);
    std::erase_if(threads_, [](const std::unique_ptr<WorkerThread>& t) {
        if (!t->Finished()) return false;
        t->Join();
        return true;
    });
    threads_.push_back(std::make_unique<WorkerThread>(std::move(procedure), priority));
    threads_.back()->Start();
}

void ThreadSet::RequestStopAll() {
    std::lock_guard lock(mutex_);
    for (auto& t : threads_) {
        t->RequestStop();
        t->Release();
    }
}

std::vector<std::unique_ptr<WorkerThread>> ThreadSet::TakeAllAskingThemToStop() {
    std::vector<std::unique_ptr<WorkerThread>> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    // Outside the lock: a procedure ending may ask how many are running.
    for (auto& t : threads) {
        t->RequestStop();
        t->Release();
    }
    return threads;
}

void ThreadSet::StopAndJoinAll() {
    TakeAllAskingThemToStop().clear();  // each destructor joins
}

bool ThreadSet::StopAndJoinAllFor(int ms) {
    auto threads = TakeAllAskingThemToStop();
    bool all = true;
    for (auto& t : threads) {
        if (t->JoinFor(ms)) continue;
        all = false;
        AbandonWorker(std::move(t));
    }
    return all;
}

std::size_t ThreadSet::Running() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(threads_.begin(), threads_.end(), [](const auto& t) { return !t->Finished(); }));
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
