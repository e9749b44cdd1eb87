// Both tools name their sockets by path.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string_view>

namespace velm::tools {

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

}  // namespace velm::tools
