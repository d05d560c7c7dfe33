// Writing to a network peer that has just gone raises SIGPIPE, which would end
// the program. Held on the writing thread only: a signal raised meanwhile is
// taken back before the mask is restored, so the process's own handling of
// SIGPIPE stays as it was. Header-only, for the plug-ins too.
#pragma once

#include <signal.h>

#include <ctime>

namespace kv {

class NoSigPipe {
public:
    NoSigPipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~NoSigPipe() {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigPipe(const NoSigPipe&) = delete;
    NoSigPipe& operator=(const NoSigPipe&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
};

}  // namespace kv
