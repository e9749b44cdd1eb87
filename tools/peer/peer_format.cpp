#include "tools/peer/peer_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include "common/event_options.h"
#include "common/utf8.h"
#include "record/endian.h"
#include "record/if_dump.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::tools {
namespace {

using record::Field;
using record::FieldKind;

constexpr std::string_view kIndent = "    ";
constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                    '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

enum class Escaping : std::uint8_t {
    Terminal,  // \xNN, and \\ for a backslash, so that an escape reads back unambiguously
    Json,      // the characters of valid UTF-8, controls as \u00NN, U+FFFD for a stray byte
};

void appendHexByte(std::string& out, unsigned char byte) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0f];
}

[[nodiscard]] bool isUtf8(std::string_view bytes) noexcept {
    for (std::size_t length = 0; !bytes.empty(); bytes.remove_prefix(length)) {
        length = utf8Length(bytes);
        if (length == 0) return false;
    }
    return true;
}

void appendTerminal(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            appendHexByte(out, byte);
        }
    }
}

// A JSON string holds characters, so valid UTF-8 goes through as it is. The C0 and C1
// controls and DEL are escaped, so that no reader's terminal sees one raw.
void appendJson(std::string& out, std::string_view bytes) {
    for (std::size_t length = 0; !bytes.empty(); bytes.remove_prefix(length)) {
        length = utf8Length(bytes);
        const auto byte = static_cast<unsigned char>(bytes[0]);
        if (length == 0) {
            out += "\\ufffd";
            length = 1;
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += bytes[0];
        } else if (const auto second = static_cast<unsigned char>(length == 2 ? bytes[1] : 0);
                   byte < 0x20 || byte == 0x7f || (byte == 0xc2 && second < 0xa0)) {
            out += "\\u00";
            appendHexByte(out, byte == 0xc2 ? second : byte);
        } else {
            out.append(bytes.substr(0, length));
        }
    }
}

void appendEscaped(std::string& out, std::string_view bytes, Escaping style) {
    if (style == Escaping::Json) {
        appendJson(out, bytes);
    } else {
        appendTerminal(out, bytes);
    }
}

void appendQuoted(std::string& out, std::string_view bytes) {
    out += '"';
    appendEscaped(out, bytes, Escaping::Json);
    out += '"';
}

template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
    std::array<char, 12> digits;
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), result.ptr);
}

[[nodiscard]] std::string_view textOf(const unsigned char* field, std::size_t width) {
    const auto* chars = reinterpret_cast<const char*>(field);
    return {chars, static_cast<std::size_t>(std::find(chars, chars + width, '\0') - chars)};
}

// The value as the dump prints it; texts and MACs quoted for JSON.
void appendValue(std::string& out, const Field& field, const unsigned char* object,
                 Escaping style) {
    const unsigned char* at = object + field.offset;
    const bool json = style == Escaping::Json;
    switch (field.kind) {
        case FieldKind::Flag:
            appendDecimal(out, static_cast<std::int32_t>(endian::loadHost32(at)));
            return;
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong:
            appendDecimal(out, endian::loadHost32(at));
            return;
        case FieldKind::Mac:
            if (json) out += '"';
            for (std::size_t i = 0; i < field.size; ++i) {
                if (i != 0) out += ':';
                out += kHex[at[i] >> 4];
                out += kHex[at[i] & 0x0f];
            }
            if (json) out += '"';
            return;
        case FieldKind::Text:
            if (json) {
                appendQuoted(out, textOf(at, field.size));
            } else {
                appendEscaped(out, textOf(at, field.size), style);
            }
            return;
    }
}

[[nodiscard]] bool isRecord(const Arrival& arrival) noexcept {
    return arrival.bytes.size() == sizeof(MgmtEvent);
}

[[nodiscard]] std::uint32_t typeOf(const Arrival& arrival) noexcept {
    return endian::loadHost32(arrival.bytes.data() + offsetof(MgmtEvent, eventType));
}

[[nodiscard]] const unsigned char* objectOf(const Arrival& arrival) noexcept {
    return arrival.bytes.data() + offsetof(MgmtEvent, ifObject);
}

// A text that is not valid UTF-8, under its name in the "hex" object: every byte, as hex.
void appendHexMember(std::string& out, std::string_view name, std::string_view bytes) {
    if (isUtf8(bytes)) return;
    out += out.ends_with('{') ? "\"" : ",\"";
    out.append(name).append("\":\"");
    for (const char c : bytes) appendHexByte(out, static_cast<unsigned char>(c));
    out += '"';
}

// The lossless form of the texts whose JSON strings hold U+FFFD for bytes that are not UTF-8;
// nothing when there are none.
void appendRawTexts(std::string& out, const Arrival& arrival) {
    std::string members = "{";
    if (arrival.sender) appendHexMember(members, "sender", *arrival.sender);
    for (const Field& field : record::kIfFields) {
        if (field.kind == FieldKind::Text && isRecord(arrival)) {
            appendHexMember(members, field.name,
                            textOf(objectOf(arrival) + field.offset, field.size));
        }
    }
    if (members.size() > 1) out.append(",\"hex\":").append(members).append("}");
}

}  // namespace

std::optional<std::string> senderAddress(const sockaddr_un& from, socklen_t length) {
    constexpr std::size_t kPathOffset = offsetof(sockaddr_un, sun_path);
    const auto size = static_cast<std::size_t>(length);
    if (size <= kPathOffset) return std::nullopt;
    std::string_view path(from.sun_path, std::min(size - kPathOffset, sizeof from.sun_path));
    // An abstract name: every byte of the given length belongs to it.
    if (path.front() == '\0') return std::string("@").append(path.substr(1));
    return std::string(path.substr(0, path.find('\0')));
}

std::string isoTime(const timespec& when) {
    tm utc{};
    ::gmtime_r(&when.tv_sec, &utc);
    std::array<char, 40> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::string out(text.data(), length);
    const auto micros = static_cast<std::uint32_t>(when.tv_nsec / 1000);
    out += '.';
    for (std::uint32_t unit = 100000; unit != 0; unit /= 10) {
        out += static_cast<char>('0' + micros / unit % 10);
    }
    out += 'Z';
    return out;
}

std::string formatText(const Arrival& arrival) {
    std::string out = "#";
    appendDecimal(out, arrival.number);
    if (!arrival.time.empty()) out.append(" at ").append(arrival.time);
    out += " from ";
    if (arrival.sender) {
        appendEscaped(out, *arrival.sender, Escaping::Terminal);
    } else {
        out += "(unnamed)";
    }
    out += ": ";
    if (!isRecord(arrival)) {
        out += "malformed: ";
        appendDecimal(out, arrival.bytes.size());
        out += " bytes, expected ";
        appendDecimal(out, sizeof(MgmtEvent));
        out += '\n';
        return out;
    }
    appendDecimal(out, arrival.bytes.size());
    out += " bytes, type ";
    const std::string_view name = eventTypeName(typeOf(arrival));
    if (name.empty()) {
        appendDecimal(out, typeOf(arrival));
    } else {
        out += name;
    }
    out += '\n';
    for (const Field& field : record::kIfFields) {
        out.append(kIndent).append(field.name).append(record::kDumpSeparator);
        appendValue(out, field, objectOf(arrival), Escaping::Terminal);
        out += '\n';
    }
    return out;
}

std::string formatJson(const Arrival& arrival) {
    std::string out = "{\"number\":";
    appendDecimal(out, arrival.number);
    if (!arrival.time.empty()) out.append(",\"time\":\"").append(arrival.time).append("\"");
    out += ",\"sender\":";
    if (arrival.sender) {
        appendQuoted(out, *arrival.sender);
    } else {
        out += "null";
    }
    out += ",\"size\":";
    appendDecimal(out, arrival.bytes.size());
    if (!isRecord(arrival)) {
        out += ",\"malformed\":true";
        appendRawTexts(out, arrival);
        out += "}\n";
        return out;
    }
    out += ",\"malformed\":false,\"type\":";
    appendDecimal(out, typeOf(arrival));
    out += ",\"typeName\":";
    const std::string_view name = eventTypeName(typeOf(arrival));
    if (name.empty()) {
        out += "null";
    } else {
        appendQuoted(out, name);
    }
    out += ",\"ifObject\":{";
    for (const Field& field : record::kIfFields) {
        if (&field != record::kIfFields.data()) out += ',';
        appendQuoted(out, field.name);
        out += ':';
        appendValue(out, field, objectOf(arrival), Escaping::Json);
    }
    out += '}';
    appendRawTexts(out, arrival);
    out += "}\n";
    return out;
}

}  // namespace velm::tools
