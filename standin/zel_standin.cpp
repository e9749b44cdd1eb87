// A stand-in for the platform's closed event service, for running and testing the daemon on
// a PC. It provides the same four C symbols. Events come in as datagrams on a local socket
// of its own: every datagram of exactly one record's size is handed to the registered
// handler; the text "stop" clears the daemon's exported loop flag, looked up by name.
//
// Its own environment variables (the daemon reads none):
//   ZEL_STANDIN_SOCKET  where to bind (default /tmp/zelStandinSocket); what is there is
//                       replaced unless a process receives at it, when zelInit fails
//   ZEL_STANDIN_INIT    force zelInit's result (nonzero: fail without binding)
//   ZEL_STANDIN_HANDLE  force zelRegister's handle (0 or negative too)
//   ZEL_STANDIN_THREAD  1: call the handler from a service thread of its own
//   ZEL_STANDIN_OFFSET  0..7: hand records over at that offset from an aligned address
//   ZEL_STANDIN_TRACE   append a line per call, with its arguments, to this file; a record's
//                       line says where it started (8n+k: its address modulo 8 is k)
// It writes nothing to standard output, which belongs to the daemon.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/local_address.h"
#include "service/flag_word.h"
#include "service/zel.h"
#include "standin/standin.h"

namespace velm::standin {
namespace {

constexpr int kUnset = -1;

struct Service {
    int socket = kUnset;
    int traceFd = kUnset;
    ZelEventHandler handler = nullptr;
    std::int32_t handle = 0;
    long offset = 0;
    bool ownThread = false;
    bool workerRunning = false;
    pthread_t worker{};
    std::atomic<bool> quit{false};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t arrived = PTHREAD_COND_INITIALIZER;
    unsigned long handled = 0;   // guarded by lock; wakes zelListen in thread mode
    unsigned long reported = 0;  // guarded by lock; what the last zelListen return covered
};

Service service;

[[nodiscard]] long threadId() noexcept {
    return static_cast<long>(::syscall(SYS_gettid));
}

void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("zel-standin: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* format, ...) {
    if (service.traceFd == kUnset) return;
    char line[256];
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) return;
    std::size_t size = static_cast<std::size_t>(length) < sizeof line - 1
                           ? static_cast<std::size_t>(length)
                           : sizeof line - 2;
    line[size++] = '\n';
    // One write on an O_APPEND descriptor: lines from two threads never mix.
    [[maybe_unused]] const ssize_t written = ::write(service.traceFd, line, size);
}

// Reads an integer variable in full; false when it is unset or does not parse.
[[nodiscard]] bool envInt(const char* name, long& value) noexcept {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0') {
        complain("%s=%s is not a number; ignored", name, text);
        return false;
    }
    value = parsed;
    return true;
}

void openTrace() noexcept {
    if (service.traceFd != kUnset) return;
    const char* path = std::getenv("ZEL_STANDIN_TRACE");
    if (path == nullptr || *path == '\0') return;
    service.traceFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (service.traceFd == kUnset) complain("cannot open trace %s: %s", path, std::strerror(errno));
}

// 0 when what is at `path` may be replaced: nothing, or no process receives there. A second
// daemon started beside a running one (by `velmKortd --version`, say) must fail rather than
// take the first one's events.
[[nodiscard]] int checkReplaceable(const char* path, const sockaddr_un& address) noexcept {
    const int holder = tools::probeReceiver(address);
    if (holder == ECONNREFUSED || holder == ENOENT) return 0;
    if (holder == 0) {
        complain("%s is in use: a running process receives there; left alone", path);
    } else {
        complain("cannot tell whether a process receives at %s: %s", path, std::strerror(holder));
    }
    return -1;
}

[[nodiscard]] int bindSocket() noexcept {
    const char* path = socketPath();
    if (std::strlen(path) > tools::kMaxSocketPath) {
        complain("socket path %s is longer than %zu characters", path, tools::kMaxSocketPath);
        return -1;
    }
    const sockaddr_un address = tools::localAddress(path);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        complain("cannot create a socket: %s", std::strerror(errno));
        return -1;
    }
    const auto bindTo = [&] { return ::bind(fd, tools::asGeneric(address), sizeof address); };
    int bound = bindTo();
    if (bound < 0 && errno == EADDRINUSE) {
        if (checkReplaceable(path, address) != 0) {
            ::close(fd);
            return -1;
        }
        ::unlink(path);
        bound = bindTo();
    }
    if (bound < 0) {
        complain("cannot bind %s: %s", path, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    service.socket = fd;
    return 0;
}

void clearLoopFlag() noexcept {
    // The way any outside code would do it: by the exported name, at run time.
    void* symbol = ::dlsym(RTLD_DEFAULT, "adslActive");
    if (symbol == nullptr) {
        complain("stop ignored: nothing in this process exports adslActive");
        trace("stop ignored");
        return;
    }
    service::storeFlagWord(static_cast<std::int32_t*>(symbol), 0);
    trace("stop: adslActive cleared");
}

void deliver(const unsigned char* datagram) noexcept {
    // Room for the record at any of eight offsets from an aligned start.
    alignas(8) unsigned char buffer[kRecordSize + 8];
    unsigned char* record = buffer + service.offset;
    std::memcpy(record, datagram, kRecordSize);
    std::uint32_t type;
    std::memcpy(&type, record, sizeof type);
    const std::uint32_t handle = static_cast<std::uint32_t>(service.handle);
    const int result = service.handler(handle, 0, kRecordSize, record);
    // Taken from the address handed over, not from the setting, so that a test sees the
    // offset it asked for was really applied.
    const auto start = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(record) % 8);
    trace("handler(%u, 0, %zu, event type %u at 8n+%u) = %d tid=%ld", handle, kRecordSize, type,
          start, result, threadId());
}

// Acts on one datagram; true when it was an event or the stop.
bool take(const unsigned char* datagram, std::size_t size) noexcept {
    switch (classify(datagram, size)) {
        case Datagram::Event:
            deliver(datagram);
            return true;
        case Datagram::Stop:
            clearLoopFlag();
            return true;
        case Datagram::Malformed:
            break;
    }
    complain("dropped a datagram of %zu bytes: an event is exactly %zu", size, kRecordSize);
    trace("dropped %zu bytes", size);
    return false;
}

// Waits up to `timeoutMs` for datagrams, then takes all that are queued. Returns how many
// events and stops it acted on.
unsigned intake(int timeoutMs) noexcept {
    pollfd ready{service.socket, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return 0;
    unsigned taken = 0;
    for (;;) {
        unsigned char datagram[kRecordSize + 1];
        // MSG_TRUNC reports a datagram's real size, so an oversized one is recognised
        // without reading past the buffer.
        const ssize_t size =
            ::recv(service.socket, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC);
        if (size < 0) break;
        taken += take(datagram, static_cast<std::size_t>(size)) ? 1U : 0U;
    }
    return taken;
}

void* serviceThread(void*) {
    while (!service.quit.load()) {
        const unsigned taken = intake(100);
        if (taken == 0) continue;
        pthread_mutex_lock(&service.lock);
        service.handled += taken;
        pthread_cond_broadcast(&service.arrived);
        pthread_mutex_unlock(&service.lock);
    }
    return nullptr;
}

// Thread mode: the service thread delivers; zelListen only waits for it, up to the bound.
void awaitServiceThread(int boundMs) noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += boundMs / 1000;
    deadline.tv_nsec += static_cast<long>(boundMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&service.lock);
    // Counted from the previous return, not from this call's start: what the service thread
    // handled while main was between two calls still ends this wait at once.
    while (service.handled == service.reported) {
        if (pthread_cond_timedwait(&service.arrived, &service.lock, &deadline) == ETIMEDOUT) break;
    }
    service.reported = service.handled;
    pthread_mutex_unlock(&service.lock);
}

}  // namespace

}  // namespace velm::standin

using velm::standin::service;

extern "C" int zelInit(void) {
    using namespace velm::standin;
    openTrace();
    long forced = 0;
    const bool isForced = envInt("ZEL_STANDIN_INIT", forced) && forced != 0;
    const int result = isForced ? static_cast<int>(forced) : bindSocket();
    trace("zelInit() = %d", result);
    return result;
}

extern "C" int zelRegister(int32_t a, int32_t b, ZelEventHandler handler, int32_t c) {
    using namespace velm::standin;
    long value = 1;
    static_cast<void>(envInt("ZEL_STANDIN_HANDLE", value));
    service.handle = static_cast<std::int32_t>(value);
    service.handler = handler;
    long offset = 0;
    if (envInt("ZEL_STANDIN_OFFSET", offset) && offset >= 0 && offset < 8) service.offset = offset;
    long ownThread = 0;
    service.ownThread = envInt("ZEL_STANDIN_THREAD", ownThread) && ownThread != 0;
    trace("zelRegister(%d, %d, %s, %d) = %d", a, b, handler != nullptr ? "handler" : "NULL", c,
          service.handle);
    if (service.handle != 0 && handler != nullptr && service.ownThread && service.socket != -1) {
        service.quit.store(false);
        service.workerRunning =
            pthread_create(&service.worker, nullptr, serviceThread, nullptr) == 0;
        if (!service.workerRunning) complain("cannot start the service thread");
    }
    return service.handle;
}

extern "C" int zelListen(int32_t handle, int32_t bound) {
    using namespace velm::standin;
    const int boundMs = bound < 0 ? 0 : bound;
    if (service.workerRunning) {
        awaitServiceThread(boundMs);
    } else if (service.socket != -1 && service.handler != nullptr) {
        intake(boundMs);
    }
    trace("zelListen(%d, %d) = 0 tid=%ld", handle, bound, threadId());
    return 0;
}

extern "C" int zelDeInit(void) {
    using namespace velm::standin;
    if (service.workerRunning) {
        service.quit.store(true);
        pthread_join(service.worker, nullptr);
        service.workerRunning = false;
    }
    if (service.socket != -1) {
        ::close(service.socket);
        service.socket = -1;
    }
    service.handler = nullptr;
    trace("zelDeInit() = 0");
    return 0;
}
