#pragma once

#include <cstdint>

namespace velm::daemon {

// Registered with the event service; may run on the service's own thread. Dumps the event,
// and for a connect, disconnect or update announces and forwards it. Always returns 0.
int mgmtEventHandler(std::uint32_t a, std::uint32_t b, std::uint32_t c, const void* event);

}  // namespace velm::daemon
