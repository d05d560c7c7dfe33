#include "platform/broadcast.h"

#include <atomic>

namespace kv {

namespace {
std::atomic<IBroadcastBus*> gBus{nullptr};
}

void SetBroadcastBus(IBroadcastBus* bus) { gBus.store(bus); }

IBroadcastBus* BroadcastBus() { return gBus.load(); }

}  // namespace kv
