#include "common/event_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <system_error>

#include "common/command_line.h"
#include "record/endian.h"

namespace velm::tools {
namespace {

using record::Field;
using record::FieldKind;

constexpr std::size_t kMacBytes = 6;

struct TypeName {
    std::string_view name;
    MgmtEventType type;
};

constexpr std::array<TypeName, 3> kTypeNames{{
    {"CONNECT", MgmtEventType::CONNECT},
    {"DISCONNECT", MgmtEventType::DISCONNECT},
    {"UPDATE", MgmtEventType::UPDATE},
}};

[[nodiscard]] std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    out += text;
    out += '\'';
    return out;
}

// from_chars over the whole text only: a partly numeric value such as "12x" is an error,
// never a silent 12.
template <typename Integer>
[[nodiscard]] bool parseWhole(std::string_view text, Integer& value, int base) noexcept {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    return error == std::errc{} && stop == end;
}

[[nodiscard]] bool isHexDigit(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

[[nodiscard]] bool parseMac(std::string_view text, std::array<unsigned char, kMacBytes>& mac) {
    for (std::size_t i = 0; i < kMacBytes; ++i) {
        const std::size_t colon = text.find(':');
        const bool last = i + 1 == kMacBytes;
        // The last group must be the end of the text; every other one must end at a colon.
        if (last != (colon == std::string_view::npos)) return false;
        const std::string_view group = text.substr(0, colon);
        if (group.empty() || group.size() > 2 ||
            !std::all_of(group.begin(), group.end(), isHexDigit))
            return false;
        if (!parseWhole(group, mac[i], 16)) return false;
        text.remove_prefix(last ? text.size() : colon + 1);
    }
    return true;
}

[[nodiscard]] bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// Every option, spelled once for lookup and messages alike.
enum class Option : std::uint8_t { Socket, Type, Raw, Output, Count, Stop, Verbose, Help, Version };

struct OptionName {
    std::string_view longName;
    std::string_view shortName;
    Option option;
    bool takesValue;
};

constexpr std::array<OptionName, 9> kOptions{{
    {"--socket", "", Option::Socket, true},
    {"--type", "", Option::Type, true},
    {"--raw", "", Option::Raw, true},
    {"--output", "", Option::Output, true},
    {"--count", "", Option::Count, true},
    {"--stop", "", Option::Stop, false},
    {"--verbose", "-v", Option::Verbose, false},
    {"--help", "-h", Option::Help, false},
    {"--version", "", Option::Version, false},
}};

[[nodiscard]] const OptionName* findOption(std::string_view name) noexcept {
    for (const OptionName& option : kOptions) {
        if (name == option.longName || (!option.shortName.empty() && name == option.shortName))
            return &option;
    }
    return nullptr;
}

constexpr std::string_view kTypeChoices =
    "connect (0), disconnect (1), update (2) or another number in 0..4294967295, decimal or "
    "0x-hex";

void setType(InjectRequest& request, std::uint32_t type) noexcept {
    endian::storeHost32(reinterpret_cast<unsigned char*>(&request.event), type);
}

// Applies one option's value; empty on success.
[[nodiscard]] std::string applyOption(const OptionName& option, std::string_view value,
                                      InjectRequest& request) {
    const std::string prefix = std::string(option.longName) + " " + quoted(value) + ": ";
    switch (option.option) {
        case Option::Socket:
            if (std::string why = checkSocketPath(value); !why.empty()) return prefix + why;
            request.socketPath = value;
            return {};
        case Option::Type: {
            std::uint32_t type = 0;
            if (!parseEventType(value, type))
                return prefix + "expected " + std::string(kTypeChoices);
            setType(request, type);
            return {};
        }
        case Option::Raw:
            if (value.empty()) return prefix + "expected a file name";
            request.rawFiles.emplace_back(value);
            request.action = InjectAction::SendRaw;
            return {};
        case Option::Output:
            if (value.empty()) return prefix + "expected a file name";
            request.outputFile = value;
            return {};
        case Option::Count:
            if (!parseUnsigned32(value, request.count) || request.count == 0) {
                return prefix + "expected a number in 1..4294967295";
            }
            return {};
        case Option::Stop:
            request.action = InjectAction::Stop;
            return {};
        case Option::Verbose:
            request.verbose = true;
            return {};
        case Option::Help:
            request.action = InjectAction::Help;
            return {};
        case Option::Version:
            request.action = InjectAction::Version;
            return {};
    }
    return {};
}

using OptionsGiven = std::array<bool, kOptions.size()>;

[[nodiscard]] bool& givenFlag(OptionsGiven& given, Option option) noexcept {
    return given[static_cast<std::size_t>(option)];
}

constexpr std::string_view kTypeAsWordAndOption =
    "the event type is given twice, as a word and as --type";

// A word without a leading dash or an equals sign: after --raw another file, else the event
// type, so that `velmKort-inject connect` says what the default record is.
[[nodiscard]] std::string applyWord(std::string_view word, OptionsGiven& given, bool& typeWord,
                                    InjectRequest& request) {
    if (givenFlag(given, Option::Raw)) {
        if (word.empty()) return "--raw: expected a file name, not ''";
        request.rawFiles.emplace_back(word);
        return {};
    }
    std::uint32_t type = 0;
    if (!parseEventType(word, type)) {
        return "unexpected argument " + quoted(word) + "; expected an event type (" +
               std::string(kTypeChoices) + ") or FIELD=VALUE";
    }
    bool& typeGiven = givenFlag(given, Option::Type);
    if (typeGiven && !typeWord) return std::string(kTypeAsWordAndOption);
    if (typeGiven) return "the event type is given twice, the second time as " + quoted(word);
    typeGiven = true;
    typeWord = true;
    setType(request, type);
    return {};
}

[[nodiscard]] std::string conflicts(OptionsGiven& given, bool anyField) {
    const auto has = [&](Option option) { return givenFlag(given, option); };
    if (has(Option::Stop) && (has(Option::Raw) || has(Option::Type) || anyField))
        return "--stop sends no record; it cannot be combined with an event type (TYPE or "
               "--type), --raw or FIELD=VALUE";
    if (has(Option::Stop) && has(Option::Output)) return "--stop cannot be combined with --output";
    if (has(Option::Raw) && (has(Option::Type) || anyField))
        return "--raw sends the files as they are; it cannot be combined with --type or "
               "FIELD=VALUE";
    if (has(Option::Output) && (has(Option::Socket) || has(Option::Count)))
        return "--output writes a file instead of sending; it cannot be combined with --socket "
               "or --count";
    if (!has(Option::Stop) && !has(Option::Raw) && !has(Option::Type) && !anyField) {
        return "nothing to send: give an event type (" + std::string(kTypeChoices) +
               "), FIELD=VALUE, --raw FILE... or --stop";
    }
    return {};
}

}  // namespace

bool parseUnsigned32(std::string_view text, std::uint32_t& value) noexcept {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return parseWhole(text.substr(2), value, 16);
    }
    return parseWhole(text, value, 10);
}

bool parseEventType(std::string_view text, std::uint32_t& type) noexcept {
    for (const TypeName& known : kTypeNames) {
        if (equalsIgnoringCase(text, known.name)) {
            type = static_cast<std::uint32_t>(known.type);
            return true;
        }
    }
    return parseUnsigned32(text, type);
}

std::string_view eventTypeName(std::uint32_t type) noexcept {
    for (const TypeName& known : kTypeNames) {
        if (static_cast<std::uint32_t>(known.type) == type) return known.name;
    }
    return {};
}

std::string checkSocketPath(std::string_view path) {
    if (path.empty()) return "expected a socket path";
    if (path.find('\0') != std::string_view::npos) return "a socket path cannot contain a NUL";
    if (path.size() > kMaxSocketPath) {
        return "the path is " + std::to_string(path.size()) + " bytes; at most " +
               std::to_string(kMaxSocketPath) + " fit in a socket address";
    }
    return {};
}

std::string describeValues(const Field& field) {
    switch (field.kind) {
        case FieldKind::Flag:
            return "a decimal number in -2147483648..2147483647";
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong:
            return "a number in 0..4294967295, decimal or 0x-hex";
        case FieldKind::Mac:
            return "a MAC address such as 00:11:22:33:44:55";
        case FieldKind::Text:
            return "text of at most " + std::to_string(field.size - 1) + " bytes";
    }
    return {};
}

std::string setField(MgmtEvent& event, std::string_view name, std::string_view value) {
    const Field* field = record::findField(name);
    if (field == nullptr) return "unknown field " + quoted(name);

    unsigned char* at = reinterpret_cast<unsigned char*>(&event.ifObject) + field->offset;
    const auto invalid = [&](std::string_view why) {
        return "field " + std::string(name) + ": " + quoted(value) + " " + std::string(why) +
               "; expected " + describeValues(*field);
    };
    switch (field->kind) {
        case FieldKind::Flag: {
            std::int32_t number = 0;
            if (!parseWhole(value, number, 10)) return invalid("is not valid");
            endian::storeHost32(at, static_cast<std::uint32_t>(number));
            return {};
        }
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong: {
            std::uint32_t number = 0;
            if (!parseUnsigned32(value, number)) return invalid("is not valid");
            endian::storeHost32(at, number);
            return {};
        }
        case FieldKind::Mac: {
            std::array<unsigned char, kMacBytes> mac{};
            if (!parseMac(value, mac)) return invalid("is not valid");
            std::memcpy(at, mac.data(), mac.size());
            return {};
        }
        case FieldKind::Text:
            // The record's readers stop at the NUL, so it must fit too.
            if (value.size() >= field->size) {
                return invalid("is " + std::to_string(value.size()) + " bytes");
            }
            std::memset(at, 0, field->size);
            std::memcpy(at, value.data(), value.size());
            return {};
    }
    return {};
}

std::string parseInjectArgs(std::span<const char* const> args, InjectRequest& request) {
    request = InjectRequest{};
    OptionsGiven optionGiven{};
    std::array<bool, record::kIfFields.size()> fieldGiven{};
    bool anyField = false;
    bool typeWord = false;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        if (arg.starts_with('-') && !optionsEnded) {
            // --name=value as well as --name value, as people tend to write both.
            const std::size_t equals =
                arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
            const std::string_view name = arg.substr(0, equals);
            const OptionName* option = findOption(name);
            if (option == nullptr) return unknownOption(arg);
            std::string_view value;
            if (equals != std::string_view::npos) {
                if (!option->takesValue) return "option " + std::string(name) + " takes no value";
                value = arg.substr(equals + 1);
            } else if (option->takesValue) {
                if (i + 1 == args.size()) return "option " + std::string(name) + " needs a value";
                value = args[++i];
            }
            bool& given = givenFlag(optionGiven, option->option);
            if (given && option->option == Option::Type && typeWord)
                return std::string(kTypeAsWordAndOption);
            if (given) return "option " + std::string(option->longName) + " given twice";
            given = true;
            if (std::string error = applyOption(*option, value, request); !error.empty())
                return error;
            // Help and the version are asked for on their own; what else is on the line does
            // not matter.
            if (option->option == Option::Help || option->option == Option::Version) return {};
            continue;
        }

        const std::size_t equals = arg.find('=');
        if (equals == std::string_view::npos) {
            if (std::string error = applyWord(arg, optionGiven, typeWord, request); !error.empty())
                return error;
            continue;
        }
        const std::string_view name = arg.substr(0, equals);
        const record::Field* field = record::findField(name);
        if (field == nullptr) return "unknown field " + quoted(name) + " in " + quoted(arg);
        bool& given = fieldGiven[static_cast<std::size_t>(field - record::kIfFields.data())];
        if (given) return "field " + std::string(name) + " given twice";
        given = true;
        anyField = true;
        if (std::string error = setField(request.event, name, arg.substr(equals + 1));
            !error.empty())
            return error;
    }
    return conflicts(optionGiven, anyField);
}

}  // namespace velm::tools
