#pragma once
// Sending new values to a device server. The client library's own helpers
// (sendNewNumber(device, property, element, value) and the like) write the
// value into the library's copy of the property, which its listener thread
// updates at the same time without a lock; and its one-element switch helper
// turns the asked element on without turning the others off. These build a
// property of their own, with only the elements given, and send that.
// Header-only: only the network focuser and the network camera plug-in, which
// link the client library, include it.
#include <baseclient.h>
#include <indipropertynumber.h>
#include <indipropertyswitch.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kv::indi {

inline void SendNumbers(INDI::BaseClient& client, const std::string& device, const char* property,
                        const std::vector<std::pair<const char*, double>>& values) {
    INDI::PropertyNumber p(values.size());
    p.fill(device.c_str(), property, "", "", IP_RW, 0, IPS_IDLE);
    for (std::size_t i = 0; i < values.size(); ++i) {
        p[i].setName(values[i].first);
        p[i].setValue(values[i].second);
    }
    client.sendNewNumber(p);
}

// A one-of-many switch with `on` set and every other element named in `all` off.
inline void SendSwitch(INDI::BaseClient& client, const std::string& device, const char* property,
                       const std::vector<const char*>& all, const std::string& on) {
    INDI::PropertySwitch p(all.size());
    p.fill(device.c_str(), property, "", "", IP_RW, ISR_1OFMANY, 0, IPS_IDLE);
    for (std::size_t i = 0; i < all.size(); ++i) {
        p[i].setName(all[i]);
        p[i].setState(on == all[i] ? ISS_ON : ISS_OFF);
    }
    client.sendNewSwitch(p);
}

}  // namespace kv::indi
