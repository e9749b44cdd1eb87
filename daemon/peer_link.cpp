#include "daemon/peer_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "daemon/messages.h"
#include "daemon/report.h"

namespace velm::daemon {

int serverSocket = -1;

namespace {

static_assert(sizeof(sockaddr_un) == 110 && offsetof(sockaddr_un, sun_path) == 2);
static_assert(sizeof(SERVER_SOCKET_PATH) - 1 == 20 && sizeof(PEER_SOCKET_PATH) - 1 == 20);

// The whole address is zeroed and the path copied with room for its NUL, so the last byte
// of the path area is always NUL.
[[nodiscard]] sockaddr_un localAddress(const char* path) noexcept {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

}  // namespace

int openServerSocket() noexcept {
    serverSocket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (serverSocket == -1) return failSystemCall(text::kSocketCreation);

    const sockaddr_un address = localAddress(SERVER_SOCKET_PATH);
    // Whatever an earlier run left there goes; a symbolic link is removed, not followed.
    ::unlink(SERVER_SOCKET_PATH);
    constexpr socklen_t kBindLength =
        offsetof(sockaddr_un, sun_path) + sizeof SERVER_SOCKET_PATH - 1;
    static_assert(kBindLength == 22);
    if (::bind(serverSocket, reinterpret_cast<const sockaddr*>(&address), kBindLength) < 0) {
        const int status = failSystemCall(text::kBind);
        ::close(serverSocket);
        serverSocket = -1;
        return status;
    }
    return kOk;
}

int forwardEvent(const MgmtEvent* event) noexcept {
    const sockaddr_un address = localAddress(PEER_SOCKET_PATH);
    // Blocking, flags 0: a peer whose queue is full makes this wait, and the datagram
    // arrives whole or not at all.
    if (::sendto(serverSocket, event, sizeof(MgmtEvent), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return failSystemCall(text::kDispatch);
    }
    return kOk;
}

}  // namespace velm::daemon
