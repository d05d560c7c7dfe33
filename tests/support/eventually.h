#pragma once
// Polls until a condition holds. The bound is generous: it is reached only
// when the code under test is wrong, so it never measures speed.
#include <chrono>
#include <functional>
#include <thread>

namespace kv::test {

inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds within = std::chrono::milliseconds(20000)) {
    for (const auto end = std::chrono::steady_clock::now() + within; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (std::chrono::steady_clock::now() > end) return done();
    }
    return true;
}

}  // namespace kv::test
