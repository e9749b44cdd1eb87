// The injector's command line: the input split at NUL bytes into arguments, as the kernel
// hands them over. Whatever parses must describe a record the readers can take.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_options.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace {

using velm::tools::InjectAction;
using velm::tools::InjectRequest;

constexpr std::size_t kMaxArgs = 64;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "inject options fuzzer: %s\n", what);
    std::abort();
}

// A second, plainer reading of the numbers the injector takes, to compare with.
[[nodiscard]] bool referenceUnsigned32(std::string_view text, std::uint32_t& value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    std::uint64_t total = 0;
    for (const char c : text) {
        unsigned digit = 16;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        if (digit >= base) return false;
        total = total * base + digit;
        if (total > 0xFFFFFFFFU) return false;
    }
    value = static_cast<std::uint32_t>(total);
    return true;
}

void checkNumber(std::string_view text) {
    std::uint32_t parsed = 0;
    std::uint32_t expected = 0;
    const bool ok = velm::tools::parseUnsigned32(text, parsed);
    if (ok != referenceUnsigned32(text, expected) || (ok && parsed != expected)) {
        fail("parseUnsigned32 disagrees with the plain reading");
    }
}

// Whatever the injector accepted, a reader of the record must be able to stop in each text
// field: setField keeps room for the NUL.
void checkRecord(const MgmtEvent& event) {
    const auto* object = reinterpret_cast<const unsigned char*>(&event.ifObject);
    for (const velm::record::Field& field : velm::record::kIfFields) {
        if (field.kind != velm::record::FieldKind::Text) continue;
        if (std::memchr(object + field.offset, '\0', field.size) == nullptr) {
            fail("an accepted text field has no NUL");
        }
    }
}

void checkAccepted(const InjectRequest& request) {
    // Help and the version stop the parse where it stands, so nothing else is settled.
    if (request.action == InjectAction::Help || request.action == InjectAction::Version) return;
    if (request.count == 0) fail("an accepted count of 0");
    if (!request.socketPath.empty() && !velm::tools::checkSocketPath(request.socketPath).empty()) {
        fail("an accepted socket path that does not fit an address");
    }
    if ((request.action == InjectAction::SendRaw) == request.rawFiles.empty()) {
        fail("--raw and its file disagree");
    }
    if (!request.outputFile.empty() && (!request.socketPath.empty() || request.count != 1)) {
        fail("--output accepted together with --socket or --count");
    }
    checkRecord(request.event);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> strings;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty() && strings.size() < kMaxArgs) {
        const std::size_t end = rest.find('\0');
        strings.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    std::vector<const char*> args;
    for (const std::string& arg : strings) {
        args.push_back(arg.c_str());
        checkNumber(arg);
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) checkNumber(std::string_view(arg).substr(equals + 1));
    }

    InjectRequest request;
    const std::string error = velm::tools::parseInjectArgs(args, request);
    if (error.empty()) {
        checkAccepted(request);
    } else {
        // The message is for people: it must say something.
        if (error.size() < 8) fail("a rejection with next to no message");
    }
    return 0;
}
