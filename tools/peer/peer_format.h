// How the peer monitor shows one datagram: a text form for people and a JSON form for
// scripts, one JSON object a line. Both walk the record's field table, and neither lets a raw
// control byte from the wire through: the text form escapes every byte of a record's texts
// and of a sender's name that is not printable ASCII; the JSON form keeps valid UTF-8 as its
// characters, escapes the controls, and gives a text that is not UTF-8 in hex as well.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <optional>
#include <span>
#include <string>

namespace velm::tools {

struct Arrival {
    unsigned long number = 0;           // from 1, as the monitor counts them
    std::optional<std::string> sender;  // the address's bytes, @NAME if abstract; none if unnamed
    std::string time;                   // ISO 8601; empty when not asked for
    std::span<const unsigned char> bytes;  // the datagram, whole
};

// The sender's address as it came, unescaped.
[[nodiscard]] std::optional<std::string> senderAddress(const sockaddr_un& from, socklen_t length);

// UTC, to the microsecond: 2026-12-08T00:00:00.000000Z.
[[nodiscard]] std::string isoTime(const timespec& when);

// "#N [at TIME ]from SENDER: ..." and, for a record, its 23 fields indented below.
[[nodiscard]] std::string formatText(const Arrival& arrival);

// One line: {"number":N,["time":...,]"sender":...,"size":...,"malformed":...,
// and for a record "type", "typeName" and "ifObject" with every field, [and "hex":{NAME:HEX}
// for the sender or texts that are not valid UTF-8, each stray byte U+FFFD in its string]}.
[[nodiscard]] std::string formatJson(const Arrival& arrival);

}  // namespace velm::tools
