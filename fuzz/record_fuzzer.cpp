// Arbitrary bytes as a management event at an arbitrary start alignment, through everything
// that reads a record: the dump, the byte-order conversions and the daemon's event handler with
// its real send (to a peer path where nothing is bound) and its real syslog call.
//
// Input: the first byte's low three bits are the record's offset from an aligned address; the
// rest are the record's bytes, zero-filled up to its 284.
#include <sanitizer/asan_interface.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "daemon/event_handler.h"
#include "daemon/peer_link.h"
#include "record/endian.h"
#include "record/if_dump.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"
#include "tests/support/private_mounts.h"

namespace {

bool handlerIsolated = false;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "record fuzzer: %s\n", what);
    std::abort();
}

// What htonIfObject must make of `before`: each integer field's four bytes reversed on a
// little-endian host, nothing at all on a big-endian one, and every other byte untouched.
void expectSwapped(const unsigned char* before, const unsigned char* after) {
    for (const velm::record::Field& field : velm::record::kIfFields) {
        for (std::size_t i = 0; i < field.size; ++i) {
            const std::size_t from =
                velm::record::isInteger(field.kind) && std::endian::native == std::endian::little
                    ? field.size - 1 - i
                    : i;
            if (after[field.offset + i] != before[field.offset + from]) {
                fail("htonIfObject moved a byte it should not have");
            }
        }
    }
}

void checkDump(const AdslIfObject& object) {
    std::array<char, velm::record::kDumpMaxChars> text;
    const std::size_t length = velm::record::formatIfObject(object, text);
    if (length > text.size()) fail("the dump claims more characters than its buffer holds");
    // Every line starts with its field's name; a text value may hold newlines of its own, so
    // only the first line is pinned down.
    constexpr std::string_view kFirst = "bModeAutodetect = ";
    if (length < kFirst.size() || std::memcmp(text.data(), kFirst.data(), kFirst.size()) != 0) {
        fail("the dump does not start with the first field");
    }
    if (text[length - 1] != '\n') fail("the dump does not end its last line");
    adslIfDump(&object);
}

void checkConversions(AdslIfObject& object) {
    std::array<unsigned char, sizeof(AdslIfObject)> before;
    std::memcpy(before.data(), &object, before.size());
    if (htonIfObject(&object) != 0) fail("htonIfObject did not return 0");
    expectSwapped(before.data(), reinterpret_cast<const unsigned char*>(&object));
    if (ntohIfObject(&object) != 0) fail("ntohIfObject did not return 0");
    if (std::memcmp(before.data(), &object, before.size()) != 0) {
        fail("ntohIfObject did not restore what htonIfObject changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In the private namespace the handler's send really goes to /tmp/velmKortCSocket, where
    // nothing is bound, from the daemon's own bound socket.
    const auto mounts = velm::testsupport::enterPrivateMounts();
    handlerIsolated = mounts.outcome == velm::testsupport::Mounts::Entered;
    if (!handlerIsolated) {
        std::fprintf(stderr, "fuzz: no private mount namespace (%s); the handler is not fuzzed\n",
                     mounts.why.c_str());
    }
    if (handlerIsolated && velm::daemon::openServerSocket() != 0) fail("cannot bind serverSocket");
    // The dump and the handler's lines go to standard output, which nobody reads here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t offset = data[0] & 7U;
    ++data;
    --size;

    // Exactly the record's bytes are addressable: the heap block ends where the record does
    // and the bytes before its start are poisoned, so a read outside it is reported.
    const std::size_t blockSize = offset + sizeof(MgmtEvent);
    std::unique_ptr<unsigned char[]> block(new unsigned char[blockSize]());
    unsigned char* record = block.get() + offset;
    std::memcpy(record, data, size < sizeof(MgmtEvent) ? size : sizeof(MgmtEvent));
    ASAN_POISON_MEMORY_REGION(block.get(), offset);

    auto& object = *reinterpret_cast<AdslIfObject*>(record + offsetof(MgmtEvent, ifObject));
    checkDump(object);
    checkConversions(object);

    if (handlerIsolated) {
        std::array<unsigned char, sizeof(MgmtEvent)> before;
        std::memcpy(before.data(), record, before.size());
        if (velm::daemon::mgmtEventHandler(1, 0, sizeof(MgmtEvent), record) != 0) {
            fail("the handler did not return 0");
        }
        if (std::memcmp(before.data(), record, before.size()) != 0) {
            fail("the handler changed the record");
        }
    }

    ASAN_UNPOISON_MEMORY_REGION(block.get(), offset);
    return 0;
}
