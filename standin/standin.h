// What the stand-in event service and the tools that drive it agree on.
#pragma once

#include <cstddef>

#include "record/mgmt_event.h"

namespace velm::standin {

inline constexpr char kDefaultSocketPath[] = "/tmp/zelStandinSocket";
inline constexpr std::size_t kRecordSize = sizeof(MgmtEvent);
// A datagram holding exactly these four bytes asks the stand-in to end the daemon's loop.
inline constexpr char kStopCommand[] = "stop";

enum class Datagram { Event, Stop, Malformed };

// ZEL_STANDIN_SOCKET if set, else the default.
[[nodiscard]] const char* socketPath() noexcept;

// What a datagram of `size` bytes is; reads at most `size` bytes.
[[nodiscard]] Datagram classify(const unsigned char* datagram, std::size_t size) noexcept;

}  // namespace velm::standin
