#include "tests/faults/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string_view>

#include "record/endian.h"
#include "record/if_dump.h"
#include "tests/support/local_address.h"

extern char** environ;

namespace velm::faults {
namespace {

using testsupport::addressOf;

constexpr const char* kEmulator[] = {VELM_EMULATOR_ARGV nullptr};
constexpr std::size_t kEmulatorArgs = sizeof kEmulator / sizeof kEmulator[0] - 1;

constexpr std::array<MgmtEventType, 3> kTypes{MgmtEventType::CONNECT, MgmtEventType::UPDATE,
                                              MgmtEventType::DISCONNECT};

[[nodiscard]] std::string_view typeName(const MgmtEvent& event) {
    switch (endian::loadHost32(reinterpret_cast<const unsigned char*>(&event))) {
        case 0:
            return "CONNECT";
        case 1:
            return "DISCONNECT";
        case 2:
            return "UPDATE";
        default:
            return {};
    }
}

// Joins texts by appending each in turn. Also what keeps GCC 12 quiet at -O3: a chain of
// operator+ that starts with a literal inlines into a string insert that its -Wrestrict
// misreads as an overlapping copy.
[[nodiscard]] std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string joined;
    for (const std::string_view piece : pieces) joined += piece;
    return joined;
}

// Calls `take` with every line of `text`, without its line end; a last line without one
// counts too.
template <typename Take>
void forEachLine(std::string_view text, Take take) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        take(text.substr(0, end));
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

template <std::size_t N>
void putText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N));
}

[[nodiscard]] std::size_t countLinesStartingWith(std::string_view text, std::string_view start) {
    std::size_t count = 0;
    forEachLine(text, [&](std::string_view line) {
        if (line.starts_with(start)) ++count;
    });
    return count;
}

}  // namespace

MgmtEvent numberedEvent(std::uint32_t n) {
    MgmtEvent event{};
    auto* bytes = reinterpret_cast<unsigned char*>(&event);
    endian::storeHost32(bytes, static_cast<std::uint32_t>(kTypes[n % kTypes.size()]));
    const auto setInt = [&](std::size_t offset, std::uint32_t value) {
        endian::storeHost32(bytes + offsetof(MgmtEvent, ifObject) + offset, value);
    };
    AdslIfObject& object = event.ifObject;
    setInt(offsetof(AdslIfObject, bModeAutodetect), 0U - n);
    setInt(offsetof(AdslIfObject, connectionMode), n % 7);
    setInt(offsetof(AdslIfObject, syncRateUp), n * 8);
    setInt(offsetof(AdslIfObject, syncRateDown), ~n);
    setInt(offsetof(AdslIfObject, vpi), n & 0xffU);
    setInt(offsetof(AdslIfObject, vci), 32 + (n >> 8));
    setInt(offsetof(AdslIfObject, mux), n % 2);
    const std::array<unsigned char, 4> nBytes{
        static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    const unsigned char db[6] = {0x00, 0x1a, 0x2b, nBytes[1], nBytes[2], nBytes[3]};
    const unsigned char mb[6] = {0xde, 0xad, nBytes[0], nBytes[1], nBytes[2], nBytes[3]};
    std::memcpy(object.dbMac, db, sizeof db);
    std::memcpy(object.mbMac, mb, sizeof mb);
    std::memset(object.mbBroadcastMac, 0xff, sizeof object.mbBroadcastMac);
    setInt(offsetof(AdslIfObject, bWanTimedOut), n % 5 == 0 ? 1 : 0);
    putText(object.wanIp, concat({"10.", std::to_string(nBytes[1]), ".", std::to_string(nBytes[2]),
                                  ".", std::to_string(nBytes[3])}));
    putText(object.wanNetmask, "255.255.255.0");
    putText(object.wanGateway, "10.0.0.1");
    setInt(offsetof(AdslIfObject, bWanStaticDns), 1);
    putText(object.wanDns1, "192.168.0.1");
    setInt(offsetof(AdslIfObject, wanMtu), 1400 + n % 100);
    setInt(offsetof(AdslIfObject, bWanStaticIp), n % 2);
    setInt(offsetof(AdslIfObject, bDialOnDemand), (n / 2) % 2);
    putText(object.username, concat({"user", std::to_string(n), "@isp"}));
    // Every fourth password fills its field without a NUL.
    putText(object.password, n % 4 == 0 ? std::string(sizeof object.password, 'x')
                                        : concat({"pw", std::to_string(n * 7U)}));
    setInt(offsetof(AdslIfObject, idleTimeout), n);
    return event;
}

std::string bytesOf(const MgmtEvent& event) {
    return {reinterpret_cast<const char*>(&event), sizeof event};
}

std::string dumpOf(const MgmtEvent& event) {
    std::array<char, record::kDumpMaxChars> text;
    return {text.data(), record::formatIfObject(event.ifObject, text)};
}

std::string handledText(const MgmtEvent& event) {
    return concat({dumpOf(event), "MGMT: ", typeName(event), "\n"});
}

std::string dispatchError(int error) {
    return concat({"ERROR#", std::to_string(error), " in dispatching the event to trund\n"});
}

bool sendToService(const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(blackbox::kStandinPath);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

bool awaitService() {
    return pollUntil([] { return isSocket(blackbox::kStandinPath); });
}

bool awaitHandled(std::size_t count) {
    return pollUntil([&] {
        return countLinesStartingWith(blackbox::readFile(blackbox::kTracePath), "handler(") >=
               count;
    });
}

std::optional<int> stopDaemon(blackbox::DaemonProcess& daemon) {
    // A stop counts only once the loop flag is up, which a finished zelListen proves.
    if (!pollUntil([] {
            return blackbox::readFile(blackbox::kTracePath).find("zelListen(") != std::string::npos;
        })) {
        ADD_FAILURE() << "the daemon never returned from zelListen";
        return std::nullopt;
    }
    if (!sendToService("stop")) {
        ADD_FAILURE() << "cannot send the stop: " << std::strerror(errno);
        return std::nullopt;
    }
    const std::optional<int> status = daemon.reap();
    if (!status) return std::nullopt;
    if (!WIFEXITED(*status)) {
        ADD_FAILURE() << "the daemon died of signal " << WTERMSIG(*status);
        return std::nullopt;
    }
    return WEXITSTATUS(*status);
}

std::optional<bool> blockedInSend(pid_t pid) {
#ifdef SYS_sendto
    if (underEmulator()) return std::nullopt;
    const std::string tasks = concat({"/proc/", std::to_string(pid), "/task"});
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return std::nullopt;
    bool blocked = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        long number = -1;
        std::ifstream(concat({tasks, "/", entry->d_name, "/syscall"})) >> number;
        blocked = blocked || number == SYS_sendto;
    }
    ::closedir(dir);
    return blocked;
#else
    static_cast<void>(pid);
    return std::nullopt;
#endif
}

bool underEmulator() noexcept {
    return kEmulatorArgs != 0;
}

bool isSocket(const char* path) {
    struct stat status {};
    return ::lstat(path, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool exists(const char* path) {
    struct stat status {};
    return ::lstat(path, &status) == 0;
}

PeerProcess::PeerProcess(const std::string& name, const std::vector<std::string>& args)
    : out_(concat({"/tmp/", name, ".out"})), err_(concat({"/tmp/", name, ".err"})) {
    std::vector<std::string> command(kEmulator, kEmulator + kEmulatorArgs);
    command.emplace_back(VELM_PEER_PATH);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0 && err >= 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2) {
            ::execve(argv[0], argv.data(), environ);
        }
        ::_exit(127);
    }
    if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

PeerProcess::~PeerProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

bool PeerProcess::awaitBound(ino_t previous) const {
    return pollUntil([&] {
        struct stat status {};
        return ::lstat(blackbox::kPeerPath, &status) == 0 && S_ISSOCK(status.st_mode) &&
               status.st_ino != previous;
    });
}

std::optional<int> PeerProcess::reap() {
    int status = 0;
    if (!pollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
        ADD_FAILURE() << "the peer monitor hung";
        return std::nullopt;
    }
    pid_ = -1;
    return status;
}

std::string PeerProcess::output() const {
    return blackbox::readFile(out_.c_str());
}

std::string PeerProcess::errors() const {
    return blackbox::readFile(err_.c_str());
}

std::string peerReport(const std::vector<MgmtEvent>& events, unsigned first) {
    std::string report;
    for (std::size_t i = 0; i < events.size(); ++i) {
        report += concat({"#", std::to_string(first + i), " from ", blackbox::kServerPath,
                          ": 284 bytes, type ", typeName(events[i]), "\n"});
        forEachLine(dumpOf(events[i]), [&](std::string_view line) {
            report += concat({"    ", line, "\n"});
        });
    }
    return report;
}

void InPrivateMounts::SetUp() {
    const std::string why = blackbox::enterPrivateMounts();
    if (!why.empty()) GTEST_SKIP() << "no private mount namespace: " << why;
    ASSERT_FALSE(HasFailure());
}

}  // namespace velm::faults
