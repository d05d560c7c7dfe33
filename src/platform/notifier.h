// One notification handler that any thread may raise.
//
// The handler is copied under the lock and called outside it, so a handler may
// call back into its sender, or replace itself, without deadlocking, and a
// handler being replaced on the GUI thread never races a worker raising it.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace kv {

template <typename Signature>
class Notifier;

template <typename R, typename... Args>
class Notifier<R(Args...)> {
public:
    using Handler = std::function<void(Args...)>;

    void Set(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    // Calls the handler set at this moment, if any; true when there was one.
    template <typename... A>
    bool operator()(A&&... args) const {
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (!handler) return false;
        handler(std::forward<A>(args)...);
        return true;
    }

private:
    mutable std::mutex mutex_;
    Handler handler_;
};

}  // namespace kv
