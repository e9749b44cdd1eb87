// The tools and the stand-in name their sockets by path, and replace only a socket file that
// nobody holds.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace velm::tools {

// The longest path that still leaves room for its NUL in a local socket address.
inline constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// The path must have passed checkSocketPath: it is copied whole, and the zeroed address keeps
// its last byte NUL.
[[nodiscard]] inline sockaddr_un localAddress(std::string_view path) noexcept {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

[[nodiscard]] inline const sockaddr* asGeneric(const sockaddr_un& address) noexcept {
    return reinterpret_cast<const sockaddr*>(&address);
}

// The error a connect of a fresh socket of `type` to `address` ends with; 0 when it goes through.
[[nodiscard]] inline int connectError(int type, const sockaddr_un& address) noexcept {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const int error = ::connect(fd, asGeneric(address), sizeof address) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

// Whether a process receives at `address`, for whoever would replace what is there: 0 when
// one does, ECONNREFUSED when nobody is bound to it any more (or it is no socket at all),
// ENOENT when nothing is there, else the errno that kept it from telling. A live socket of
// the other type answers EPROTOTYPE, one of the probe's own type lets it through; the stream
// probe comes second, so that a live listener is never sent a connection.
[[nodiscard]] inline int probeReceiver(const sockaddr_un& address) noexcept {
    int error = connectError(SOCK_DGRAM, address);
    if (error == ECONNREFUSED) error = connectError(SOCK_STREAM, address);
    return error == EPROTOTYPE ? 0 : error;
}

}  // namespace velm::tools
