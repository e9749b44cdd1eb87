#include "daemon/event_handler.h"

#include <syslog.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "daemon/peer_link.h"
#include "record/endian.h"
#include "record/mgmt_event.h"
#include "service/zel.h"

namespace velm::daemon {
namespace {

// Indexed by event type. Each line is the announcement and its newline; the log gets the
// same text without the newline.
constexpr std::array<std::string_view, 3> kAnnouncementLines{
    "MGMT: CONNECT\n",
    "MGMT: DISCONNECT\n",
    "MGMT: UPDATE\n",
};
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::CONNECT)].size() ==
              13 + 1);
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::DISCONNECT)].size() ==
              16 + 1);
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::UPDATE)].size() == 12 + 1);

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
    if (type >= kAnnouncementLines.size()) return 0;

    announce(kAnnouncementLines[type]);
    forwardEvent(record);
    return 0;
}

// The service calls the handler through this exact shape.
static_assert(std::is_same_v<decltype(&mgmtEventHandler), ZelEventHandler>);

}  // namespace velm::daemon
