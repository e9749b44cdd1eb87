// The injector's command line, turned into the exact record it sends. Kept free of I/O and of
// process state so that it can be unit-tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/local_address.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::tools {

enum class InjectAction : std::uint8_t { Send, SendRaw, Stop, Help, Version };

struct InjectRequest {
    InjectAction action = InjectAction::Send;
    std::string socketPath;             // empty: the stand-in's own default
    std::vector<std::string> rawFiles;  // sent in this order
    std::string outputFile;  // non-empty: write the record there instead of sending it; "-"
                             // is standard output
    std::uint32_t count = 1;
    bool verbose = false;
    MgmtEvent event{};  // exactly the bytes that go out, integers in host byte order
};

// Parses the arguments after the program name. Returns an empty string on success; otherwise
// one line that names the offending option or field and its value, and `request` holds
// nothing worth using. A bare word is the event type, or after --raw another file; a command
// line that says nothing about what to send is an error, never an all-zero record.
[[nodiscard]] std::string parseInjectArgs(std::span<const char* const> args,
                                          InjectRequest& request);

// Stores `value`, written as people write it, into the field called `name` of the event's
// interface object. Empty on success, else a message as above; the event is then unchanged.
[[nodiscard]] std::string setField(MgmtEvent& event, std::string_view name, std::string_view value);

// What a field's values look like, for help texts and error messages.
[[nodiscard]] std::string describeValues(const record::Field& field);

// The whole text, decimal or 0x-hex, 0..4294967295.
[[nodiscard]] bool parseUnsigned32(std::string_view text, std::uint32_t& value) noexcept;

// connect, disconnect or update in any letter case, or any number parseUnsigned32 takes.
[[nodiscard]] bool parseEventType(std::string_view text, std::uint32_t& type) noexcept;

// CONNECT, DISCONNECT or UPDATE; empty for any other code.
[[nodiscard]] std::string_view eventTypeName(std::uint32_t type) noexcept;

// Empty when `path` fits a local socket address; else why it does not.
[[nodiscard]] std::string checkSocketPath(std::string_view path);

}  // namespace velm::tools
