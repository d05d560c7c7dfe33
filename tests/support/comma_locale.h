#pragma once
// Runs a test under a decimal-comma LC_NUMERIC, as the desktop runs for a
// user whose language writes "2,5" (Qt takes the user's locale at start-up).
// de_DE.UTF-8 is used where the system has it; otherwise it is compiled with
// localedef into a temporary folder that LOCPATH points at.
#include <clocale>
#include <cstdlib>
#include <string>

#include "support/temp_files.h"

namespace kv::test {

class CommaLocale {
public:
    CommaLocale() {
        if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
            const std::string target = dir_.File("de_DE.UTF-8");
            const std::string command = "localedef -i de_DE -f UTF-8 '" + target + "' >/dev/null 2>&1";
            if (std::system(command.c_str()) == 0 || dir_.Has("de_DE.UTF-8")) {
                ::setenv("LOCPATH", dir_.Path().c_str(), 1);
                std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
            }
        }
        active_ = std::localeconv()->decimal_point[0] == ',';
    }
    ~CommaLocale() {
        std::setlocale(LC_NUMERIC, "C");
        ::unsetenv("LOCPATH");
    }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;
    bool Active() const { return active_; }

private:
    TempDir dir_;
    bool active_ = false;
};

}  // namespace kv::test
