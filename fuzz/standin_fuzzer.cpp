// The stand-in event service's intake, driven as the daemon meets it: the real zelInit,
// zelRegister and zelListen, with datagrams of any size and content sent to its socket. A
// handler is called only for a datagram of exactly one record, with that record's bytes; the
// text "stop" clears the loop flag; anything else is dropped.
//
// Input: a sequence of datagrams, each a 16-bit little-endian size and then its bytes. A size
// larger than what is left repeats those bytes up to it, so oversized datagrams cost short
// inputs.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "service/zel.h"
#include "standin/standin.h"

// What the stand-in clears on a stop, found by name as in the daemon's process.
extern "C" {
__attribute__((visibility("default"))) std::int32_t adslActive = 1;
}

namespace {

using velm::standin::kRecordSize;

constexpr std::size_t kMaxDatagrams = 8;
constexpr std::uintptr_t kOffset = 3;  // ZEL_STANDIN_OFFSET below

std::string directory;
sockaddr_un serviceAddress{};
int sender = -1;
std::int32_t handle = 0;
std::vector<std::string> delivered;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "stand-in fuzzer: %s\n", what);
    std::abort();
}

int handler(std::uint32_t a, std::uint32_t, std::uint32_t size, const void* event) {
    if (static_cast<std::int32_t>(a) != handle) fail("the handler got another handle");
    if (size != kRecordSize) fail("the handler was told a size other than a record's");
    if (reinterpret_cast<std::uintptr_t>(event) % 8 != kOffset) fail("the record moved");
    delivered.emplace_back(static_cast<const char*>(event), kRecordSize);
    return 0;
}

void cleanUp() {
    zelDeInit();
    if (sender >= 0) ::close(sender);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

[[nodiscard]] std::int32_t loopFlag() {
    return std::atomic_ref<std::int32_t>(adslActive).load();
}

void sendAndCheck(const std::string& datagram) {
    delivered.clear();
    std::atomic_ref<std::int32_t>(adslActive).store(1);
    if (::sendto(sender, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&serviceAddress),
                 sizeof serviceAddress) != static_cast<ssize_t>(datagram.size())) {
        fail("cannot send to the stand-in");
    }
    // A local datagram is queued by the time sendto returns, so a listen that does not wait
    // takes it.
    zelListen(handle, 0);

    const bool isStop = datagram == velm::standin::kStopCommand;
    const auto kind = velm::standin::classify(
        reinterpret_cast<const unsigned char*>(datagram.data()), datagram.size());
    if (datagram.size() == kRecordSize) {
        if (kind != velm::standin::Datagram::Event) fail("a record was not classified as one");
        if (delivered.size() != 1 || delivered.front() != datagram) {
            fail("a record was not delivered once, whole and unchanged");
        }
    } else if (!delivered.empty()) {
        fail("something that is not a record was delivered");
    }
    if (isStop != (kind == velm::standin::Datagram::Stop)) fail("stop misclassified");
    if ((loopFlag() == 0) != isStop) fail("the loop flag does not follow the stop command");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "velm-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a directory");
    directory = pattern;
    const std::string path = directory + "/zel";
    ::setenv("ZEL_STANDIN_SOCKET", path.c_str(), 1);
    ::setenv("ZEL_STANDIN_OFFSET", "3", 1);
    // Traced to nowhere, so that every trace line is formatted all the same.
    ::setenv("ZEL_STANDIN_TRACE", "/dev/null", 1);
    ::unsetenv("ZEL_STANDIN_THREAD");
    ::unsetenv("ZEL_STANDIN_INIT");
    ::unsetenv("ZEL_STANDIN_HANDLE");
    if (zelInit() != 0) fail("zelInit failed");
    handle = zelRegister(16, 2, &handler, 0);
    if (handle == 0) fail("zelRegister failed");
    serviceAddress.sun_family = AF_UNIX;
    std::strncpy(serviceAddress.sun_path, path.c_str(), sizeof serviceAddress.sun_path - 1);
    sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0) fail("cannot make a socket");
    std::atexit(cleanUp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The pure part on its own, at the input's own size.
    const auto kind = velm::standin::classify(data, size);
    if ((kind == velm::standin::Datagram::Event) != (size == kRecordSize)) {
        fail("classify and the record size disagree");
    }

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::size_t n = 0; n < kMaxDatagrams && rest.size() >= 2; ++n) {
        const std::size_t wanted = static_cast<unsigned char>(rest[0]) |
                                   static_cast<std::size_t>(static_cast<unsigned char>(rest[1]))
                                       << 8;
        rest.remove_prefix(2);
        const std::string_view given = rest.substr(0, wanted);
        rest.remove_prefix(given.size());
        std::string datagram(given);
        while (!given.empty() && datagram.size() < wanted) {
            datagram.append(given.substr(0, wanted - datagram.size()));
        }
        datagram.resize(wanted, '\0');
        sendAndCheck(datagram);
    }
    return 0;
}
