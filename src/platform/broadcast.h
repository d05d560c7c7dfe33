// Messages that leave the process: the diagnostic trace and, later, the hub
// companion program's codes. The desktop installs a D-Bus session-bus
// implementation; without one, engine code falls back to standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

class IBroadcastBus {
public:
    virtual ~IBroadcastBus() = default;
    // Sends `message` ("MESSAGE_LOGGER", "KV_MESSAGE", ...) with both
    // parameters and the text; returns false when nothing could be sent.
    virtual bool Broadcast(std::string_view message, std::int64_t wparam, std::int64_t lparam,
                           std::string_view text) = 0;
    // Hands the message over without waiting for it to be delivered, for
    // callers that must not stall (the window answering the hub program).
    // A bus that has no cheaper way simply broadcasts.
    virtual bool Post(std::string_view message, std::int64_t wparam, std::int64_t lparam, std::string_view text) {
        return Broadcast(message, wparam, lparam, text);
    }
};

// The process's bus; nullptr until the desktop installs one.
void SetBroadcastBus(IBroadcastBus* bus);
IBroadcastBus* BroadcastBus();

inline constexpr const char* kMessageLogger = "MESSAGE_LOGGER";
inline constexpr const char* kKvMessage = "KV_MESSAGE";
inline constexpr const char* kKvMsg = "KV_MSG";
inline constexpr const char* kQxKvMsg = "QX_KV_MSG";
inline constexpr const char* kKantrelMessage = "KANTREL_MESSAGE";

// D-Bus names used by the desktop, kessivane-msg and kessivane-hub.
inline constexpr const char* kDbusPath = "/org/kessivane/Broadcast";
inline constexpr const char* kDbusInterface = "org.kessivane.Broadcast";
inline constexpr const char* kDbusSignal = "Message";
// Owned by a running kessivane-msg once it listens.
inline constexpr const char* kDbusLoggerService = "org.kessivane.Msg";

}  // namespace kv
