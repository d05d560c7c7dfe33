// A mutex whose lock can give up at a deadline.
//
// std::timed_mutex does the same, but libstdc++ implements its steady-clock
// wait with pthread_mutex_clocklock, which the thread sanitizer does not see:
// every timed lock then reads as an unlock of an unlocked mutex, hiding real
// reports. These are built on a plain mutex and condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kv {

class TimedMutex {
public:
    void lock() {
        std::unique_lock guard(mutex_);
        free_.wait(guard, [this] { return !locked_; });
        locked_ = true;
    }
    bool try_lock() {
        std::lock_guard guard(mutex_);
        if (locked_) return false;
        locked_ = true;
        return true;
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock guard(mutex_);
        if (!free_.wait_until(guard, deadline, [this] { return !locked_; })) return false;
        locked_ = true;
        return true;
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
        return try_lock_until(std::chrono::steady_clock::now() + timeout);
    }
    void unlock() {
        {
            std::lock_guard guard(mutex_);
            locked_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool locked_ = false;
};

// The same, taken again by the thread that holds it as often as it likes.
class RecursiveTimedMutex {
public:
    void lock() {
        std::unique_lock guard(mutex_);
        const auto me = std::this_thread::get_id();
        free_.wait(guard, [&] { return depth_ == 0 || owner_ == me; });
        Take(me);
    }
    bool try_lock() {
        std::lock_guard guard(mutex_);
        const auto me = std::this_thread::get_id();
        if (depth_ != 0 && owner_ != me) return false;
        Take(me);
        return true;
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock guard(mutex_);
        const auto me = std::this_thread::get_id();
        if (!free_.wait_until(guard, deadline, [&] { return depth_ == 0 || owner_ == me; })) return false;
        Take(me);
        return true;
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
        return try_lock_until(std::chrono::steady_clock::now() + timeout);
    }
    void unlock() {
        {
            std::lock_guard guard(mutex_);
            if (--depth_ != 0) return;
            owner_ = {};
        }
        free_.notify_one();
    }

private:
    void Take(std::thread::id me) {
        owner_ = me;
        ++depth_;
    }
    std::mutex mutex_;
    std::condition_variable free_;
    std::thread::id owner_;
    int depth_ = 0;
};

}  // namespace kv
