#include "bench/inbox.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace velm::bench {

Inbox::Inbox(const char* path) noexcept : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    ::unlink(path);
    bound_ =
        fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

Inbox::~Inbox() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t Inbox::drain() noexcept {
    std::size_t count = 0;
    for (;;) {
        unsigned char datagram[2048];
        if (::recv(fd_, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC) < 0) return count;
        ++count;
    }
}

}  // namespace velm::bench
