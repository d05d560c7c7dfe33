#include "app/page_context.h"

#include "platform/broadcast.h"

void TPageContext::BroadcastKantrel(int code, std::int64_t value, std::string_view text) {
    if (kv::IBroadcastBus* bus = kv::BroadcastBus()) bus->Post(kv::kKantrelMessage, code, value, text);
}

bool TPageContext::SendKantrel(int code, std::int64_t value) {
    kv::IBroadcastBus* bus = kv::BroadcastBus();
    return bus != nullptr && bus->Broadcast(kv::kKantrelMessage, code, value, {});
}
