// The temperature unit's reader: every exchange the Temp Control page has
// with the hub's temperature unit runs on this object's own
// thread, so a unit that stops answering (each exchange is bounded, about two
// seconds when it is silent) never holds up the window.
//
// Every request follows one pattern. The GUI thread queues a request of a
// kind: what to ask the focuser, and what to do with the answer. The thread
// takes the requests in order, asks, and posts the answer back to the GUI
// thread, where the follow-up runs. A kind still queued or being asked is not
// queued again, so a slow unit never piles requests up.
//
// The focuser is the one last attached. Detach() comes before that focuser is
// freed: it drops the queued requests, waits for the exchange in flight
// (bounded) and joins the thread; answers already posted for it are dropped.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "focuser/focus_control.h"

namespace kv {
class WorkerThread;
}

// What one exchange found out; each request fills the members it needs.
struct TTempAnswer {
    bool avail = false;
    double temperature = 0.0;
    double average = 0.0;
    int offset = 0;
    kv::HubResult written = kv::HubResult::Ok;
    QString text;
};

class TTempReader : public QObject {
public:
    enum class Kind { Reading, ShowCheck, Detect, Offset, SetOffset, Title, Count };
    using Ask = std::function<TTempAnswer(kv::TFocusControl&)>;
    using Then = std::function<void(const TTempAnswer&)>;

    explicit TTempReader(QObject* parent = nullptr);
    ~TTempReader() override;

    // Asks `focuser` from now on (nullptr: nobody); detaches the previous one first.
    void Attach(kv::TFocusControl* focuser);
    void Detach();
    kv::TFocusControl* Focuser() const { return focuser_; }

    // Queues `ask`; `then` gets its answer on the GUI thread. False (and
    // nothing queued) while a request of the same kind is pending, or with no focuser.
    bool Request(Kind kind, Ask ask, Then then);
    bool Pending(Kind kind) const { return pending_[static_cast<std::size_t>(kind)]; }

private:
    struct Job {
        Kind kind = Kind::Reading;
        Ask ask;
        Then then;
    };
    void Run(kv::TFocusControl& focuser, std::uint64_t generation);
    void Deliver(std::uint64_t generation, Kind kind, const Then& then, const TTempAnswer& answer);

    // GUI thread only.
    kv::TFocusControl* focuser_ = nullptr;
    std::array<bool, static_cast<std::size_t>(Kind::Count)> pending_{};
    std::unique_ptr<kv::WorkerThread> thread_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool quit_ = false;
    std::uint64_t generation_ = 0;  // answers of an older one are dropped
};
