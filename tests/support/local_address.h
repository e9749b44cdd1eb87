// The local socket address of a path, for test code that binds or sends to fixed paths.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace velm::testsupport {

// Zeroed first and copied with room for the NUL, so an over-long path is cut, never unended.
[[nodiscard]] inline sockaddr_un addressOf(const std::string& path) noexcept {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

[[nodiscard]] inline const sockaddr* asGeneric(const sockaddr_un& address) noexcept {
    return reinterpret_cast<const sockaddr*>(&address);
}

}  // namespace velm::testsupport
