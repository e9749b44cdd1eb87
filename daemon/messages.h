// Every text the daemon prints of its own, apart from the record's dump lines (owned by the
// record's field table). The log pipe reads the announcements here too.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "record/mgmt_event.h"

namespace velm::daemon::text {

inline constexpr char kBanner[] = "velmKortd started\n";

// Contexts of failed system calls, printed after "ERROR#<errno> ".
inline constexpr char kSocketCreation[] = "during serverSocket creation";
inline constexpr char kBind[] = "in bind on serverSocket";
inline constexpr char kDispatch[] = "in dispatching the event to trund";

// Printed after "ERROR ", for a failed attach and a failed registration alike.
inline constexpr char kServiceFailed[] = "zelInit failed";

// Indexed by event type. Each line is the announcement and its newline; the log gets the
// same text without the newline.
inline constexpr std::array<std::string_view, 3> kAnnouncementLines{
    "MGMT: CONNECT\n",
    "MGMT: DISCONNECT\n",
    "MGMT: UPDATE\n",
};
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::CONNECT)].size() ==
              13 + 1);
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::DISCONNECT)].size() ==
              16 + 1);
static_assert(kAnnouncementLines[static_cast<std::size_t>(MgmtEventType::UPDATE)].size() == 12 + 1);

}  // namespace velm::daemon::text
