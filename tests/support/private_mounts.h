// A mount namespace of the caller's own, with fresh tmpfs on /tmp and /dev (the real /dev/null
// carried over). Code that binds the daemon's fixed paths, or starts the daemon, then never
// meets a daemon, peer or system logger of the machine's, and runs in parallel with others
// doing the same. Shared by the black-box and fault tests, the benchmarks and the fuzzers.
#pragma once

#include <string>

namespace velm::testsupport {

enum class Mounts {
    Entered,       // the private /tmp and /dev are in place
    NoNamespace,   // neither root nor a user namespace would give one: nothing changed
    NotFurnished,  // inside a namespace of its own, but its /tmp or /dev could not be made
};

struct PrivateMounts {
    Mounts outcome;
    std::string why;  // the step that failed and its errno text; empty when entered
};

// Must run before any thread exists (unshare refuses a process with threads). Without root, a
// user namespace maps the caller to root in it. `tmpOptions` are the new /tmp's mount options.
// From here on the process sees an empty /tmp: nothing it needs may live there.
[[nodiscard]] PrivateMounts enterPrivateMounts(const char* tmpOptions = "mode=1777");

}  // namespace velm::testsupport
