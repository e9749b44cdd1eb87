// The event every measurement uses: the demo's connect, with every printed form present
// (counters of several widths, three MACs, texts both short and empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "record/endian.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::bench {

[[nodiscard]] inline MgmtEvent sampleEvent(MgmtEventType type) noexcept {
    MgmtEvent event{};
    auto* bytes = reinterpret_cast<unsigned char*>(&event);
    auto* object = bytes + offsetof(MgmtEvent, ifObject);
    const auto setInt = [&](std::string_view name, std::uint32_t value) {
        endian::storeHost32(object + record::findField(name)->offset, value);
    };
    const auto setBytes = [&](std::string_view name, std::string_view value) {
        std::memcpy(object + record::findField(name)->offset, value.data(), value.size());
    };
    endian::storeHost32(bytes, static_cast<std::uint32_t>(type));
    setInt("bModeAutodetect", 1);
    setInt("connectionMode", 3);
    setInt("syncRateUp", 1024);
    setInt("syncRateDown", 8128);
    setInt("vpi", 8);
    setInt("vci", 35);
    setInt("mux", 1);
    setBytes("dbMac", "\x00\x11\x22\x33\x44\x55");
    setBytes("mbMac", "\x00\x11\x22\x33\x44\x56");
    setBytes("mbBroadcastMac", "\xff\xff\xff\xff\xff\xff");
    setBytes("wanIp", "10.0.0.2");
    setBytes("wanNetmask", "255.255.255.0");
    setBytes("wanGateway", "10.0.0.1");
    setBytes("wanDns1", "10.0.0.53");
    setInt("wanMtu", 1492);
    setBytes("username", "alice");
    setBytes("password", "secret");
    setInt("idleTimeout", 600);
    return event;
}

}  // namespace velm::bench
