// Both tools write records to files whole: the injector its output, the peer monitor what it
// saves.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <span>

namespace velm::tools {

// Through short writes and interrupted ones; false with errno set on the first failure.
[[nodiscard]] inline bool writeAll(int fd, std::span<const unsigned char> bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(wrote));
    }
    return true;
}

}  // namespace velm::tools
