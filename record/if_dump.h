// The interface object's text dump, formatted into a caller's buffer. adslIfDump writes this
// buffer to standard output in one piece; tools and tests use it directly.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::record {

inline constexpr std::string_view kDumpSeparator = " = ";

// The most characters one field's value can print as.
[[nodiscard]] constexpr std::size_t maxValueChars(const Field& field) noexcept {
    switch (field.kind) {
        case FieldKind::Flag:
            return 11;  // -2147483648
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong:
            return 10;  // 4294967295
        case FieldKind::Mac:
            return 17;  // xx:xx:xx:xx:xx:xx
        case FieldKind::Text:
            return field.size;  // a field without its NUL
    }
    return 0;
}

[[nodiscard]] constexpr std::size_t maxDumpChars() noexcept {
    std::size_t total = 0;
    for (const Field& field : kIfFields) {
        total += field.name.size() + kDumpSeparator.size() + maxValueChars(field) + 1;
    }
    return total;
}

inline constexpr std::size_t kDumpMaxChars = maxDumpChars();

// Formats the 23 lines into `out` and returns how many characters they take. Reads only the
// object's 280 bytes: a text field without a NUL prints its whole width and stops there.
[[nodiscard]] std::size_t formatIfObject(const AdslIfObject& obj,
                                         std::span<char, kDumpMaxChars> out) noexcept;

}  // namespace velm::record
