#include "tests/blackbox/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/support/local_address.h"
#include "tests/support/private_mounts.h"

namespace velm::blackbox {
namespace {

using testsupport::addressOf;

// Bounds that only ever fail a hung test. With a service thread, the stand-in's zelListen may
// sit out its whole 10 s bound before the loop is seen running.
constexpr auto kServiceTimeout = std::chrono::seconds(10);
constexpr auto kLoopTimeout = std::chrono::seconds(30);
constexpr auto kExitTimeout = std::chrono::seconds(60);

constexpr const char* kEmulator[] = {VELM_EMULATOR_ARGV nullptr};

[[nodiscard]] std::string failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

template <typename Done>
[[nodiscard]] bool pollUntil(std::chrono::seconds limit, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void sendDatagram(const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(kStandinPath);
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << failure("sending to the service");
    }
    ::close(fd);
}

// The exit status of a reaped daemon.
[[nodiscard]] std::optional<int> exitStatus(std::optional<int> status) {
    if (!status) return std::nullopt;
    if (WIFEXITED(*status)) return WEXITSTATUS(*status);
    ADD_FAILURE() << "the daemon died of signal " << WTERMSIG(*status);
    return std::nullopt;
}

}  // namespace

std::string enterPrivateMounts() {
    // A bounded /tmp, in case a daemon runs away with its output.
    const auto mounts = testsupport::enterPrivateMounts("mode=1777,size=256m");
    if (mounts.outcome == testsupport::Mounts::NoNamespace) return mounts.why;
    if (mounts.outcome == testsupport::Mounts::NotFurnished) {
        ADD_FAILURE() << "furnishing the namespace: " << mounts.why;
    }
    return {};
}

Inbox::Inbox(const char* path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un address = addressOf(path);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << failure(path);
    }
}

Inbox::~Inbox() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<Datagram> Inbox::drain() {
    std::vector<Datagram> received;
    for (;;) {
        char buffer[4096];
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) return received;
        const std::size_t pathRoom =
            std::max<std::size_t>(fromLength, offsetof(sockaddr_un, sun_path)) -
            offsetof(sockaddr_un, sun_path);
        received.push_back({std::string(buffer, std::min(sizeof buffer, std::size_t(size))),
                            std::size_t(size),
                            std::string(from.sun_path, ::strnlen(from.sun_path, pathRoom))});
    }
}

std::string readFile(const char* path) {
    // A daemon gone wild may write without end; a test needs only the start.
    std::string text(std::size_t{1} << 20, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(text.data(), std::ssize(text));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

bool isLogEntry(std::string_view entry, std::string_view text) {
    static const std::regex stamp(
        "<15>[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");
    constexpr std::string_view kIdent = VELM_SYSLOG_IDENT;
    constexpr std::size_t kStampSize = sizeof "<15>Dec  7 22:18:26 " - 1;
    if (entry.size() < kStampSize ||
        !std::regex_match(entry.begin(), entry.begin() + kStampSize, stamp) ||
        !entry.ends_with(kLogEnd)) {
        return false;
    }
    entry.remove_prefix(kStampSize);
    entry.remove_suffix(kLogEnd.size());
    return entry == std::string(kIdent) + ": " + std::string(text);
}

DaemonProcess::DaemonProcess(const Launch& launch) {
    std::vector<std::string> args(std::begin(kEmulator), std::end(kEmulator) - 1);
    // Natively the daemon's RUNPATH finds the stand-in; an emulator's loader needs this.
    std::vector<std::string> env{"LD_LIBRARY_PATH=" VELM_ZEL_DIR,
                                 std::string("ZEL_STANDIN_TRACE=") + kTracePath};
    for (const std::string& entry : launch.env) {
        // An emulator is itself a host program, whose loader would try a target library
        // preloaded through the environment (and say so on stderr): it gets it as an option.
        if (!args.empty() && entry.starts_with("LD_PRELOAD=")) {
            args.insert(args.end(), {"-E", entry});
        } else {
            env.push_back(entry);
        }
    }
    args.push_back(VELM_DAEMON_PATH);
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv, envp;
    for (auto& arg : args) argv.push_back(arg.data());
    for (auto& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open(kStdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(kStderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0 && err >= 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2) {
            ::execvpe(argv[0], argv.data(), envp.data());
        }
        ::_exit(127);
    }
    if (pid_ < 0) ADD_FAILURE() << failure("fork");
}

DaemonProcess::~DaemonProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::optional<int> DaemonProcess::reap() {
    int status = 0;
    if (!pollUntil(kExitTimeout, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
        ADD_FAILURE() << "the daemon hung";
        return std::nullopt;
    }
    pid_ = -1;
    return status;
}

std::optional<int> runSession(const Launch& launch, const std::vector<std::string>& datagrams,
                              void (*whileUp)()) {
    DaemonProcess daemon(launch);
    if (!pollUntil(kServiceTimeout, [] {
            struct stat status {};
            return ::stat(kStandinPath, &status) == 0 && S_ISSOCK(status.st_mode);
        })) {
        ADD_FAILURE() << "the service never came up";
        return std::nullopt;
    }
    if (whileUp != nullptr) whileUp();
    for (const std::string& datagram : datagrams) sendDatagram(datagram);
    // A stop counts only once the daemon has raised its loop flag, and a finished zelListen
    // proves that it has.
    if (!pollUntil(kLoopTimeout,
                   [] { return readFile(kTracePath).find("zelListen(") != std::string::npos; })) {
        ADD_FAILURE() << "the daemon never returned from zelListen";
        return std::nullopt;
    }
    sendDatagram("stop");
    return exitStatus(daemon.reap());
}

std::optional<int> runToExit(const Launch& launch) {
    return exitStatus(DaemonProcess(launch).reap());
}

}  // namespace velm::blackbox
