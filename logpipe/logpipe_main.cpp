// velmKort-logpipe: runs a program (the daemon) with a pseudo-terminal as its standard output
// and hands its lines to the system log: error lines always, everything else only when asked,
// with the PPP password masked. On a terminal the C library line-buffers standard output by
// itself, so each line arrives as it is written, the program unchanged; through a pipe it
// would wait for a block of 4 KiB (glibc) or 1 KiB (musl) or for the exit.
//
// Its standard error goes through a pipe to the log too, every line an error line: the C
// library never buffers it, and under an init system nobody else reads it.
//
// This process stays the one that was started, the pid the init knows, and runs the program as
// its child: it passes every signal that can be caught on (the program decides what ends it),
// save SIGCHLD, SIGPIPE and the job-control stops, which end nothing; reads both outputs until
// the program has gone (logpipe/reader.h decides what each line is), logs what was left and only
// then exits, as the program did. One pid is the daemon and its log path: gone, both have gone,
// and a supervisor that signals what is left of the service once it has exited (systemd) or
// respawns it (procd) finds every entry logged. A process the program leaves behind holding
// its outputs is not waited for.
//
// The terminal is the program's controlling terminal, in a session of its own: should this
// process end first, however it ends, the kernel hangs the terminal up and the program gets
// SIGHUP, and then the parent-death signal, SIGKILL: a service whose errors could no longer
// reach the log ends, and its supervisor sees it.
//
// The program starts on a clean slate, whatever the caller left: descriptors 0 to 2 only, every
// signal at its default disposition and none blocked, as s6, runit and systemd start services.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "common/command_line.h"
#include "logpipe/reader.h"
#include "velm/version.h"

namespace {

constexpr char kProgram[] = "velmKort-logpipe";
constexpr char kIdentity[] = "velmKortd";
constexpr int kExitFailed = 1;
constexpr int kExitCannotRun = 127;

struct Options {
    bool dumps = false;
    bool help = false;
    bool version = false;
    const char* unknown = "";
    std::span<char* const> command;
};

void printUsage() {
    std::printf(
        "Usage: %s [--dumps] PROGRAM [ARG ...]\n"
        "Runs PROGRAM with a pseudo-terminal as its standard output, so that the C\n"
        "library writes each line at once, and sends its lines to the system log as\n"
        "'%s':\n"
        "  lines beginning with ERROR  at LOG_ERR, always (never a line of an event dump)\n"
        "  every other line            dropped, unless --dumps\n"
        "  lines on standard error     at LOG_ERR, always\n"
        "PROGRAM runs as a child, every signal passed on to it but SIGCHLD, SIGPIPE and\n"
        "the job-control stops, which end nothing; this program logs until it has gone,\n"
        "then exits as it did. PROGRAM gets standard input as it is (/dev/null if\n"
        "closed), no descriptor above 2, every signal at its default, none blocked.\n"
        "It is looked up in PATH unless it holds a slash; a file without a '#!' line is\n"
        "refused. Should this program end first, PROGRAM gets SIGHUP, then SIGKILL.\n"
        "\n"
        "  --dumps     log the other lines too, at LOG_INFO (event dumps, the banner;\n"
        "              not the announcements, which the daemon logs itself): one entry\n"
        "              per field of a dump, a text's newlines shown as \\n, and from its\n"
        "              first 'password = ' line on only 'password = %s'\n"
        "  -h, --help  show this help\n"
        "  --version   show the program's name and version\n"
        "  --          end the options: the next word is PROGRAM, even if it begins\n"
        "              with '-'\n"
        "\n"
        "Exit status: PROGRAM's own; %d if it cannot be run, %d if the terminal cannot\n"
        "be set up, %d bad arguments. Failures are reported on standard error and in\n"
        "the log.\n",
        kProgram, kIdentity, velm::logpipe::kMask.data(), kExitCannotRun, kExitFailed,
        velm::tools::kExitUsage);
}

[[nodiscard]] const char* parseArgs(std::span<char* const> args, Options& options) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg.front() != '-') break;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return nullptr;
        }
        if (arg == "--version") {
            options.version = true;
            return nullptr;
        }
        if (arg != "--dumps") {
            options.unknown = args[i];
            return "unknown option";
        }
        options.dumps = true;
    }
    options.command = args.subspan(i);
    return options.command.empty() ? "no program given" : nullptr;
}

// Said on standard error and in the log: under an init system nobody reads the former.
// Returns the exit status of a failure, for the callers that end with it.
int report(const char* what, const char* detail = "") {
    const char* why = std::strerror(errno);
    std::fprintf(stderr, "%s: %s%s: %s\n", kProgram, what, detail, why);
    ::openlog(kProgram, 0, LOG_DAEMON);
    syslog(LOG_ERR, "%s%s: %s", what, detail, why);
    return kExitFailed;
}

// A command line it refuses: said as every tool says it, and in the log, as every failure.
[[gnu::format(printf, 1, 2)]] int badUsage(const char* format, ...) {
    std::array<char, 256> text;
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    ::openlog(kProgram, 0, LOG_DAEMON);
    syslog(LOG_ERR, "%s", text.data());
    return velm::tools::usageError(kProgram, "%s", text.data());
}

void logEntry(void*, velm::logpipe::Priority priority, std::string_view text) {
    const int level = priority == velm::logpipe::Priority::Error ? LOG_ERR : LOG_INFO;
    syslog(level, "%.*s", static_cast<int>(text.size()), text.data());
}

// Reads what one of the program's outputs holds into its reader, returning how many bytes; once
// it has been closed everywhere (EIO on the terminal, end of file) logs what was left and
// drops it from `input`.
std::size_t readInto(pollfd& input, velm::logpipe::Reader& reader,
                     const velm::logpipe::Sink& sink) {
    std::array<char, 4096> bytes;
    ssize_t got = 0;
    do {
        got = ::read(input.fd, bytes.data(), bytes.size());
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        velm::logpipe::feed(reader, {bytes.data(), static_cast<std::size_t>(got)}, sink);
        return static_cast<std::size_t>(got);
    }
    if (got < 0 && errno == EAGAIN) return 0;
    velm::logpipe::finish(reader, sink);
    input.fd = -1;
    return 0;
}

// More than a pipe can be made to hold (pipe-max-size, 1 MiB by default) or a terminal holds:
// only a process that is still writing reaches it.
constexpr std::size_t kDrainMax = std::size_t{1} << 21;

// After the program has gone: what its output already holds, then its end.
void drain(pollfd& input, velm::logpipe::Reader& reader, const velm::logpipe::Sink& sink) {
    for (std::size_t total = 0; input.fd >= 0 && total < kDrainMax;) {
        const std::size_t got = readInto(input, reader, sink);
        if (got == 0) break;
        total += got;
    }
    if (input.fd >= 0) velm::logpipe::finish(reader, sink);
}

// Takes the signals that have come: all but the program's end are passed on to it. Returns
// whether the program has gone, reaped, with its wait status.
bool programGone(pid_t program, int signals, int& status) {
    signalfd_siginfo info{};
    while (::read(signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo != SIGCHLD) ::kill(program, static_cast<int>(info.ssi_signo));
    }
    return ::waitpid(program, &status, WNOHANG) == program;
}

// Logs the program's outputs until it has gone, each entry as soon as what follows it settles
// it, and then what they already hold; there is no timer. Returns its wait status.
int relay(pid_t program, int terminal, int errors, int signals, bool dumps) {
    const velm::logpipe::Sink sink{logEntry, nullptr};
    static velm::logpipe::Reader output;
    output.dumps = dumps;
    static velm::logpipe::Reader errorLines;
    errorLines.errors = true;
    std::array<pollfd, 3> inputs{
        {{terminal, POLLIN, 0}, {errors, POLLIN, 0}, {signals, POLLIN, 0}}};
    int status = 0;
    for (;;) {
        if (::poll(inputs.data(), inputs.size(), -1) < 0) {
            if (errno == EINTR) continue;
            while (::waitpid(program, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (inputs[0].revents != 0) readInto(inputs[0], output, sink);
        if (inputs[1].revents != 0) readInto(inputs[1], errorLines, sink);
        if (inputs[2].revents != 0 && programGone(program, signals, status)) break;
    }
    drain(inputs[0], output, sink);
    drain(inputs[1], errorLines, sink);
    return status;
}

// Ends as the program ended: with its exit status, or by the signal that killed it, so that
// whoever waits for this process sees what they would have seen of the program.
int endAs(int status) {
    if (!WIFSIGNALED(status)) return WEXITSTATUS(status);
    const int signal = WTERMSIG(status);
    // A core dump would be the program's, not this one's: none, not even to a core_pattern
    // pipe, which a limit of 0 does not stop.
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0);
    ::signal(signal, SIG_DFL);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    return 128 + signal;
}

// The terminal's far end, in raw mode: newlines reach the reader as they were written. Opened
// for reading too: the kernel makes a terminal without read access a controlling terminal
// only for a process with CAP_SYS_ADMIN, and the log pipe must run as any user.
[[nodiscard]] int openFarEnd(int terminal) {
    if (::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return -1;
    const char* name = ::ptsname(terminal);
    if (name == nullptr) return -1;
    const int far = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (far < 0 || ::tcgetattr(far, &mode) != 0) return -1;
    ::cfmakeraw(&mode);
    return ::tcsetattr(far, TCSANOW, &mode) == 0 ? far : -1;
}

// Runs the program as execvp does, searching PATH for a name without a slash, except that a
// file the kernel cannot run (no "#!" line, say) is refused with ENOEXEC on every C library:
// glibc's and uClibc-ng's execvp would hand it to /bin/sh, musl's refuses it. Returns only on
// failure, with errno saying why.
void execute(std::span<char* const> command) {
    const char* name = command[0];
    if (std::strchr(name, '/') != nullptr) {
        ::execv(name, command.data());
        return;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/bin:/usr/bin";
    int failure = ENOENT;
    for (;;) {
        const std::size_t colon = std::min(dirs.find(':'), dirs.size());
        const std::string_view dir{dirs.data(), colon};
        // An empty entry is the current directory, as everywhere.
        std::array<char, PATH_MAX> candidate;
        const int length =
            std::snprintf(candidate.data(), candidate.size(), "%.*s%s%s",
                          static_cast<int>(dir.size()), dir.data(), dir.empty() ? "" : "/", name);
        if (length > 0 && static_cast<std::size_t>(length) < candidate.size()) {
            ::execv(candidate.data(), command.data());
            if (errno == EACCES) failure = EACCES;
            if (errno != EACCES && errno != ENOENT && errno != ENOTDIR) return;
        }
        if (colon == dirs.size()) break;
        dirs.remove_prefix(colon + 1);
    }
    errno = failure;
}

// What the child could not do before the program ran, reported by this process: the child
// sends its step and errno through a pipe that the exec closes.
struct SetupFailure {
    std::size_t step;
    int error;
};
struct SetupStep {
    const char* what;
    int status;
};
constexpr std::array<SetupStep, 3> kSetupSteps{{
    {"cannot set up the pseudo-terminal", kExitFailed},
    {"cannot redirect output", kExitFailed},
    {"cannot run ", kExitCannotRun},
}};
constexpr std::size_t kStepTerminal = 0;
constexpr std::size_t kStepRedirect = 1;
constexpr std::size_t kStepRun = 2;

[[noreturn]] void failSetup(int setup, std::size_t step) {
    const SetupFailure failure{step, errno};
    [[maybe_unused]] const ssize_t sent = ::write(setup, &failure, sizeof failure);
    ::_exit(kExitCannotRun);
}

// Not in every C library's headers (musl 1.2.3, uClibc-ng 1.0.35 lack a wrapper): the same
// number on every architecture that has it.
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

// Closes every descriptor from `from` to `to`; without close_range (before Linux 5.9), one at
// a time up to the limit on open files, which is where they end unless it was lowered since.
void closeFrom(unsigned from, unsigned to) {
    if (from > to || ::syscall(SYS_close_range, from, to, 0) == 0) return;
    rlimit files{};
    const rlim_t most = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
    const unsigned last = static_cast<unsigned>(std::min<rlim_t>({most - 1, 65535, to}));
    for (unsigned fd = from; fd <= last; ++fd) ::close(static_cast<int>(fd));
}

// The child, to become the program: a session of its own with the terminal as its controlling
// terminal and standard output, the pipe as its standard error, standard input as it is, and
// no other descriptor but the setup pipe, which the exec closes; every signal at its default
// disposition and none blocked. Should this process be gone already, it ends rather than run
// unread.
[[noreturn]] void runProgram(std::span<char* const> command, pid_t parent, int far, int errors,
                             int setup) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() != parent) ::_exit(kExitFailed);
    ::setsid();
    if (::ioctl(far, TIOCSCTTY, 0) != 0) failSetup(setup, kStepTerminal);
    if (::dup2(far, STDOUT_FILENO) != STDOUT_FILENO ||
        ::dup2(errors, STDERR_FILENO) != STDERR_FILENO || ::fcntl(STDIN_FILENO, F_SETFD, 0) != 0) {
        failSetup(setup, kStepRedirect);
    }
    const auto kept = static_cast<unsigned>(setup);
    closeFrom(STDERR_FILENO + 1, kept - 1);
    closeFrom(kept + 1, ~0U);
    for (int signal = 1; signal < NSIG; ++signal) ::signal(signal, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    execute(command);
    failSetup(setup, kStepRun);
}

// Descriptors 0 to 2 open, /dev/null where the caller closed one, before anything else is
// opened: the terminal then never lands on one of them by chance, and a failure can be said.
[[nodiscard]] bool standardOpen() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) return false;
    }
    return true;
}

// Signals that end nothing here: a log that went away (SIGPIPE), and the job-control stops,
// which would stall the program's output and hold its end unlogged. Not passed on either: the
// program's process group, in a session of its own, is orphaned, where the kernel drops them.
[[nodiscard]] bool endsNothing(int signal) {
    return signal == SIGPIPE || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// Every signal that can be caught but those that end nothing, blocked and taken through
// `signals`, whatever disposition the caller left it: a blocked signal is queued even when
// ignored. Each at its default, though: an ignored SIGCHLD would have the kernel reap the
// program unseen. Those that end nothing are ignored and not blocked, or they would be queued
// too. All are blocked while the dispositions change: none can end this process in between.
[[nodiscard]] int takeSignals() {
    sigset_t taken;
    ::sigfillset(&taken);
    ::sigprocmask(SIG_BLOCK, &taken, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) {
        ::signal(signal, endsNothing(signal) ? SIG_IGN : SIG_DFL);
        if (endsNothing(signal)) ::sigdelset(&taken, signal);
    }
    ::sigprocmask(SIG_SETMASK, &taken, nullptr);
    return ::signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Whether the child ran the program; if not, what it said is reported, the child reaped, and
// `status` is this process's exit status.
[[nodiscard]] bool programRuns(int setup, pid_t program, const char* name, int& status) {
    SetupFailure failure{};
    ssize_t got = 0;
    do {
        got = ::read(setup, &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(setup);
    if (got != sizeof failure) return true;
    ::waitpid(program, nullptr, 0);
    const std::size_t step = std::min(failure.step, kStepRun);
    errno = failure.error;
    report(kSetupSteps[step].what, step == kStepRun ? name : "");
    status = kSetupSteps[step].status;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!standardOpen()) return report("cannot open /dev/null");
    Options options;
    if (const char* error = parseArgs({argv + 1, static_cast<std::size_t>(argc - 1)}, options)) {
        if (*options.unknown != '\0') return badUsage(velm::tools::kUnknownOption, options.unknown);
        return badUsage("%s", error);
    }
    if (options.help || options.version) {
        options.help ? printUsage() : velm::printVersion(kProgram);
        return velm::tools::finishOutput(kProgram);
    }

    // Taken as they come, between reads, from before the program exists: its end, and the
    // signals for it to act on.
    const int signals = takeSignals();
    if (signals < 0) return report("cannot take signals");
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return report("cannot open a pseudo-terminal");
    const int far = openFarEnd(terminal);
    if (far < 0 || ::fcntl(terminal, F_SETFL, O_NONBLOCK) != 0) {
        return report("cannot set up the pseudo-terminal");
    }
    // The program's standard error goes to the log too, as its own: under an init system
    // nobody reads it (start-stop-daemon -b sends it to /dev/null), and procd would log it
    // under this program's name. A pipe is enough: the C library never buffers it.
    std::array<int, 2> errorPipe{};
    std::array<int, 2> setupPipe{};
    if (::pipe2(errorPipe.data(), O_CLOEXEC) != 0 || ::pipe2(setupPipe.data(), O_CLOEXEC) != 0 ||
        ::fcntl(errorPipe[0], F_SETFL, O_NONBLOCK) != 0) {
        return report("cannot make a pipe");
    }

    const pid_t parent = ::getpid();
    const pid_t program = ::fork();
    if (program < 0) return report("cannot fork");
    if (program == 0) runProgram(options.command, parent, far, errorPipe[1], setupPipe[1]);
    ::close(far);
    ::close(errorPipe[1]);
    ::close(setupPipe[1]);
    int status = 0;
    if (!programRuns(setupPipe[0], program, options.command[0], status)) return status;
    ::openlog(kIdentity, LOG_NDELAY, LOG_DAEMON);
    return endAs(relay(program, terminal, errorPipe[0], signals, options.dumps));
}
