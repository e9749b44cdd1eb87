// Every text the daemon prints of its own, apart from the record's dump lines (owned by the
// record's field table) and the announcements (owned by the handler's table).
#pragma once

namespace velm::daemon::text {

inline constexpr char kBanner[] = "velmKortd started\n";

// Contexts of failed system calls, printed after "ERROR#<errno> ".
inline constexpr char kSocketCreation[] = "during serverSocket creation";
inline constexpr char kBind[] = "in bind on serverSocket";
inline constexpr char kDispatch[] = "in dispatching the event to trund";

// Printed after "ERROR ", for a failed attach and a failed registration alike.
inline constexpr char kServiceFailed[] = "zelInit failed";

}  // namespace velm::daemon::text
