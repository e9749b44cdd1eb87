#include "standin/standin.h"

#include <cstdlib>
#include <cstring>

namespace velm::standin {

const char* socketPath() noexcept {
    const char* path = std::getenv("ZEL_STANDIN_SOCKET");
    return path != nullptr && *path != '\0' ? path : kDefaultSocketPath;
}

Datagram classify(const unsigned char* datagram, std::size_t size) noexcept {
    if (size == kRecordSize) return Datagram::Event;
    if (size == sizeof kStopCommand - 1 && std::memcmp(datagram, kStopCommand, size) == 0) {
        return Datagram::Stop;
    }
    return Datagram::Malformed;
}

}  // namespace velm::standin
