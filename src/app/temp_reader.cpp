#include "app/temp_reader.h"

#include <utility>

#include "platform/worker_thread.h"

TTempReader::TTempReader(QObject* parent) : QObject(parent) {}

TTempReader::~TTempReader() { Detach(); }

void TTempReader::Attach(kv::TFocusControl* focuser) {
    if (focuser == focuser_) return;
    Detach();
    if (focuser == nullptr) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        quit_ = false;
        generation = generation_;
    }
    focuser_ = focuser;
    thread_ = std::make_unique<kv::WorkerThread>(
        [this, focuser, generation](kv::WorkerThread&) { Run(*focuser, generation); });
    thread_->Start();
}

void TTempReader::Detach() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        queue_.clear();
        ++generation_;
    }
    wake_.notify_all();
    if (thread_) {
        thread_->RequestStop();
        thread_->Join();
        thread_.reset();
    }
    focuser_ = nullptr;
    pending_.fill(false);
}

bool TTempReader::Request(Kind kind, Ask ask, Then then) {
    bool& pending = pending_[static_cast<std::size_t>(kind)];
    if (focuser_ == nullptr || pending) return false;
    pending = true;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(Job{kind, std::move(ask), std::move(then)});
    }
    wake_.notify_all();
    return true;
}

void TTempReader::Run(kv::TFocusControl& focuser, std::uint64_t generation) {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
            if (quit_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        const TTempAnswer answer = job.ask(focuser);
        QMetaObject::invokeMethod(
            this,
            [this, generation, kind = job.kind, then = std::move(job.then), answer] {
                Deliver(generation, kind, then, answer);
            },
            Qt::QueuedConnection);
    }
}

void TTempReader::Deliver(std::uint64_t generation, Kind kind, const Then& then, const TTempAnswer& answer) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;
    }
    pending_[static_cast<std::size_t>(kind)] = false;
    if (then) then(answer);
}
