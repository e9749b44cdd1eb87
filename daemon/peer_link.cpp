#include "daemon/peer_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>

#include "daemon/messages.h"
#include "daemon/report.h"

namespace velm::daemon {

int serverSocket = -1;

namespace {

static_assert(sizeof(sockaddr_un) == 110 && offsetof(sockaddr_un, sun_path) == 2);
static_assert(sizeof(SERVER_SOCKET_PATH) - 1 == 20 && sizeof(PEER_SOCKET_PATH) - 1 == 20);

// The whole address is zeroed and the path copied with room for its NUL, so the last byte
// of the path area is always NUL. Evaluated at compile time: no event pays for building the
// peer's address.
[[nodiscard]] constexpr sockaddr_un localAddress(const char* path) noexcept {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    for (std::size_t i = 0; i + 1 < sizeof address.sun_path && path[i] != '\0'; ++i) {
        address.sun_path[i] = path[i];
    }
    return address;
}

constinit const sockaddr_un kServerAddress = localAddress(SERVER_SOCKET_PATH);
constinit const sockaddr_un kPeerAddress = localAddress(PEER_SOCKET_PATH);

}  // namespace

int openServerSocket() noexcept {
    serverSocket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (serverSocket == -1) return failSystemCall(text::kSocketCreation);

    // Whatever an earlier run left there goes; a symbolic link is removed, not followed.
    ::unlink(SERVER_SOCKET_PATH);
    constexpr socklen_t kBindLength =
        offsetof(sockaddr_un, sun_path) + sizeof SERVER_SOCKET_PATH - 1;
    static_assert(kBindLength == 22);
    if (::bind(serverSocket, reinterpret_cast<const sockaddr*>(&kServerAddress), kBindLength) < 0) {
        const int status = failSystemCall(text::kBind);
        ::close(serverSocket);
        serverSocket = -1;
        return status;
    }
    return kOk;
}

int forwardEvent(const MgmtEvent* event) noexcept {
    // Blocking, flags 0: a peer whose queue is full makes this wait, and the datagram
    // arrives whole or not at all.
    if (::sendto(serverSocket, event, sizeof(MgmtEvent), 0,
                 reinterpret_cast<const sockaddr*>(&kPeerAddress), sizeof kPeerAddress) < 0) {
        return failSystemCall(text::kDispatch);
    }
    return kOk;
}

}  // namespace velm::daemon
