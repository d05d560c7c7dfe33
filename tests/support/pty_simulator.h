#pragma once
// kessivane-sim serving one focuser on a pseudo-terminal, for tests that
// drive the real serial code; ended with the object, which closes the
// terminal's far end as a device that goes away does.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace kv::test {

#ifdef KV_SIM_PROGRAM
class PtySimulator {
public:
    explicit PtySimulator(const std::string& kind) {
        int out[2];
        if (pipe(out) != 0) return;
        const std::string program = KV_SIM_PROGRAM;
        const char* argv[] = {program.c_str(), "--device", kind.c_str(), "--us-per-step", "2000", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // It prints the terminal's path, then serves.
        for (char c = 0; pid_ > 0;) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 60000) != 1 || read(out[0], &c, 1) != 1 || c == '\n') break;  // a hang guard
            path_ += c;
        }
        close(out[0]);
    }
    ~PtySimulator() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    PtySimulator(const PtySimulator&) = delete;
    PtySimulator& operator=(const PtySimulator&) = delete;
    const std::string& Path() const { return path_; }

private:
    pid_t pid_ = 0;
    std::string path_;
};

#endif  // KV_SIM_PROGRAM

}  // namespace kv::test
