// Google Benchmark figures for the per-event work: the dump (and the obvious printf-per-line
// dump it replaces), the two conversions, and the whole handler with a real peer socket and
// a system log receiver. The daemon's standard output goes to /dev/null; the report goes to
// standard error, since both would otherwise share one stdio stream.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "bench/inbox.h"
#include "bench/naive_dump.h"
#include "bench/sample_event.h"
#include "daemon/event_handler.h"
#include "daemon/peer_link.h"
#include "daemon/report.h"
#include "record/if_dump.h"
#include "record/mgmt_event.h"
#include "tests/support/private_mounts.h"

namespace velm::bench {
namespace {

constexpr char kLogPath[] = "/dev/log";

// Why the handler cannot be measured here; empty once the namespace and sockets are set up.
std::string handlerUnavailable = "not set up";

void BM_FormatIfObject(benchmark::State& state) {
    const MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    std::array<char, record::kDumpMaxChars> text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(record::formatIfObject(event.ifObject, text));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FormatIfObject);

void BM_AdslIfDump(benchmark::State& state) {
    const MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    for (auto _ : state) adslIfDump(&event.ifObject);
}
BENCHMARK(BM_AdslIfDump);

void BM_NaiveIfDump(benchmark::State& state) {
    const MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    for (auto _ : state) naiveIfDump(&event.ifObject);
}
BENCHMARK(BM_NaiveIfDump);

void BM_HtonIfObject(benchmark::State& state) {
    MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    for (auto _ : state) {
        htonIfObject(&event.ifObject);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_HtonIfObject);

void BM_NtohIfObject(benchmark::State& state) {
    MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    for (auto _ : state) {
        ntohIfObject(&event.ifObject);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_NtohIfObject);

void BM_NaiveHtonIfObject(benchmark::State& state) {
    MgmtEvent event = sampleEvent(MgmtEventType::CONNECT);
    for (auto _ : state) {
        naiveHtonIfObject(&event.ifObject);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_NaiveHtonIfObject);

// The event service's call for one event: dump, announcement, syslog and the datagram to the
// peer, whose queue a thread of this process drains as the peer daemon would.
void BM_MgmtEventHandler(benchmark::State& state) {
    if (!handlerUnavailable.empty()) {
        state.SkipWithError(("needs a private mount namespace: " + handlerUnavailable).c_str());
        return;
    }
    const MgmtEvent event = sampleEvent(static_cast<MgmtEventType>(state.range(0)));
    for (auto _ : state) daemon::mgmtEventHandler(1, 0, sizeof event, &event);
}
BENCHMARK(BM_MgmtEventHandler)->ArgName("type")->Arg(0)->Arg(1)->Arg(2)->Arg(3);

// Stands in for the peer daemon and the system logger, both at once.
class Receivers {
  public:
    Receivers() : peer_(daemon::PEER_SOCKET_PATH), log_(kLogPath) {}
    ~Receivers() {
        quit_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    [[nodiscard]] bool bound() const noexcept { return peer_.bound() && log_.bound(); }

    void start() {
        thread_ = std::thread([this] {
            while (!quit_.load()) {
                std::array<pollfd, 2> ready{{{peer_.fd(), POLLIN, 0}, {log_.fd(), POLLIN, 0}}};
                if (::poll(ready.data(), ready.size(), 100) <= 0) continue;
                peer_.drain();
                log_.drain();
            }
        });
    }

  private:
    Inbox peer_;
    Inbox log_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace
}  // namespace velm::bench

int main(int argc, char** argv) {
    using namespace velm::bench;
    // Before benchmark::Initialize and any thread: unshare refuses a threaded process.
    handlerUnavailable = velm::testsupport::enterPrivateMounts().why;
    // glibc's stdout is an assignable variable: the record code writes to this sink, while the
    // report keeps going to standard error.
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) {
        std::perror("/dev/null");
        return 1;
    }
    stdout = sink;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    Receivers receivers;
    if (handlerUnavailable.empty()) {
        if (!receivers.bound()) {
            handlerUnavailable = "cannot bind the peer or log socket";
        } else if (velm::daemon::openServerSocket() != velm::daemon::kOk) {
            handlerUnavailable = "cannot bind the daemon's socket";
        } else {
            receivers.start();
        }
    }
    if (!handlerUnavailable.empty()) {
        std::fprintf(stderr, "BM_MgmtEventHandler skipped: %s\n", handlerUnavailable.c_str());
    }

    benchmark::ConsoleReporter console(::isatty(2) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                                        : benchmark::ConsoleReporter::OO_Tabular);
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
