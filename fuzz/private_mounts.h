// A mount namespace of the fuzzer's own, so that the daemon's code can run its real socket and
// log calls without reaching anything on the machine: /tmp and /dev are fresh and empty apart
// from /dev/null.
#pragma once

namespace velm::fuzz {

// Must run before any thread exists. False (with a note on standard error) when no namespace
// can be had; the caller must then keep the daemon's sends and logging out of its run.
// Corpora and artifacts must not live under /tmp: from here on this process sees a new one.
[[nodiscard]] bool enterPrivateMounts() noexcept;

}  // namespace velm::fuzz
