// The camera's worker threads.
//
// Every exposure runs on its own thread so the window stays responsive:
// TReadExposeThread takes one main image, TFocusFrameThread one focus frame,
// TCycleFocusThread takes focus frames back to back while continuous focus is
// on. Each runs once on an owned WorkerThread. The controller keeps every
// thread it starts, reaps the finished ones when it starts the next, and
// stops and joins all of them before it lets go of the plug-in or is freed:
// no thread outlives the controller.
//
// Each thread carries a completion signal that is created before the thread
// starts and set as its very last step, so a caller that waits for a frame
// cannot miss the end of one that was faster than the caller.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/named_event.h"
#include "platform/worker_thread.h"

namespace kv {

class TCameraControl;

// True on a thread that `owner` started (an exposure, a frame or the loop).
bool IsCameraThreadOf(const TCameraControl* owner);

// Set once when a thread has finished; any number of waiters.
class ThreadCompletion {
public:
    void Set();
    bool Done() const;
    // Signalled when finished within `timeout`, else TimedOut; a negative
    // time-out waits without limit.
    WaitResult Wait(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// First come, first served: the camera's exposures take turns in the order
// they asked. (A plain mutex let a main exposure wait behind continuous
// focus frames for as long as the loop ran.) Usable with std::lock_guard.
class ExposureTurn {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    unsigned long long next_ = 0;
    unsigned long long serving_ = 0;
};

// Texts of one exposure kind's timed wait.
struct ExposureTexts {
    const char* acquiring;
    const char* timedOut;
    const char* abandoned;
    const char* failed;
};
inline constexpr ExposureTexts kMainExposureTexts{"Acquiring Image", "Time out during exposing",
                                                  "Abandoned event during exposing",
                                                  "An error occurred during exposing"};
inline constexpr ExposureTexts kFocusExposureTexts{"Acquiring Focus Image", "Time out during focus exposing",
                                                   "Abandoned event during focus exposing",
                                                   "An error occurred during focus exposing"};

class TCameraThread {
public:
    explicit TCameraThread(TCameraControl& owner);
    virtual ~TCameraThread();
    TCameraThread(const TCameraThread&) = delete;
    TCameraThread& operator=(const TCameraThread&) = delete;

    void Start() { worker_.Start(); }
    void RequestStop() { worker_.RequestStop(); }
    bool Finished() const { return worker_.Finished(); }
    void Join() { worker_.Join(); }
    std::shared_ptr<ThreadCompletion> Completion() const { return completion_; }
    // The last failure this thread reported, empty when none.
    std::string ErrorText() const;

protected:
    virtual void Run() = 0;
    bool StopRequested() const { return worker_.StopRequested(); }
    // Logs the failure and has it shown to the user; the thread goes on.
    void Fail(const std::string& text);
    // Sleeps `ms`; false when a stop cut it short.
    bool Sleep(int ms);
    // Steps 1-5 of every timed exposure, run after DLLSetUpExpose returned
    // true: arm the delay timer for ExposureTime and wait for its event, at
    // most three times the exposure. `afterStatus` runs after the status post.
    void TimedWait(const ExposureTexts& texts, const char* afterStatus = nullptr);

    // Every subclass calls this in its destructor, before its own part is gone.
    void StopAndJoin() {
        worker_.RequestStop();
        worker_.Join();
    }

    TCameraControl& owner_;

private:
    WorkerThread worker_;
    std::shared_ptr<ThreadCompletion> completion_;
    mutable std::mutex errorMutex_;
    std::string errorText_;
};

// One main-image exposure.
class TReadExposeThread final : public TCameraThread {
public:
    using TCameraThread::TCameraThread;
    ~TReadExposeThread() override;

protected:
    void Run() override;
};

// One focus frame: expose, fetch, mask, measure, report, signal
// "FOCUSER_WAIT_EVENT" then "FOCUS_DELAY_EVENT".
class TFocusFrameThread final : public TCameraThread {
public:
    using TCameraThread::TCameraThread;
    ~TFocusFrameThread() override;

protected:
    void Run() override;
};

// The continuous-focus loop.
class TCycleFocusThread final : public TCameraThread {
public:
    using TCameraThread::TCameraThread;
    ~TCycleFocusThread() override;

protected:
    void Run() override;

private:
    // Under the SBIG interlock: waits for a running focuser move to end.
    // False when the wait failed (reported once).
    bool WaitForFocuser(bool& reported);
};

}  // namespace kv
