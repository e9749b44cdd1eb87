// The daemon's one outbound channel: a bound local datagram socket through which every
// announced event goes, whole, to the peer daemon.
#pragma once

#include "record/mgmt_event.h"

namespace velm::daemon {

inline constexpr char SERVER_SOCKET_PATH[] = "/tmp/velmKortSSocket";
inline constexpr char PEER_SOCKET_PATH[] = "/tmp/velmKortCSocket";

// -1 until openServerSocket succeeds; written only during start-up, read-only afterwards.
extern int serverSocket;

// Opens serverSocket and binds it at SERVER_SOCKET_PATH, removing whatever stood there.
// 0 on success, 1 on failure (reported).
[[nodiscard]] int openServerSocket() noexcept;

// Sends the 284 bytes at `event` as one datagram to PEER_SOCKET_PATH. 0 on success, 1 on
// failure (reported; the event is dropped).
int forwardEvent(const MgmtEvent* event) noexcept;

}  // namespace velm::daemon
