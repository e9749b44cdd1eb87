#include "daemon/event_handler.h"

#include <syslog.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "daemon/messages.h"
#include "daemon/peer_link.h"
#include "record/endian.h"
#include "record/mgmt_event.h"
#include "service/zel.h"

namespace velm::daemon {
namespace {

void announce(std::string_view line) noexcept {
    std::fwrite(line.data(), 1, line.size(), stdout);
    ::syslog(LOG_DEBUG, "%.*s", static_cast<int>(line.size() - 1), line.data());
}

}  // namespace

int mgmtEventHandler(std::uint32_t, std::uint32_t, std::uint32_t, const void* event) {
    const auto* record = static_cast<const MgmtEvent*>(event);
    adslIfDump(&record->ifObject);

    const auto* bytes = static_cast<const unsigned char*>(event);
    const std::uint32_t type = endian::loadHost32(bytes + offsetof(MgmtEvent, eventType));
    if (type >= text::kAnnouncementLines.size()) return 0;

    announce(text::kAnnouncementLines[type]);
    forwardEvent(record);
    return 0;
}

// The service calls the handler through this exact shape.
static_assert(std::is_same_v<decltype(&mgmtEventHandler), ZelEventHandler>);

}  // namespace velm::daemon
