// The interface object's fields as a table: name, place, width and how each is printed.
// The dump, the byte-order conversions and the tools all walk this one table, so a field's
// name and layout are written down exactly once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "record/mgmt_event.h"

namespace velm::record {

enum class FieldKind : std::uint8_t {
    Flag,          // signed 32-bit, printed as %d
    Unsigned,      // unsigned 32-bit, printed as %u
    UnsignedLong,  // unsigned 32-bit, printed as %lu (widened to unsigned long)
    Mac,           // six raw bytes, printed as xx:xx:xx:xx:xx:xx
    Text,          // NUL-terminated text inside the field's width
};

struct Field {
    std::string_view name;
    std::size_t offset;
    std::size_t size;
    FieldKind kind;
};

[[nodiscard]] constexpr bool isInteger(FieldKind kind) noexcept {
    return kind == FieldKind::Flag || kind == FieldKind::Unsigned ||
           kind == FieldKind::UnsignedLong;
}

#define VELM_FIELD(member, kind)                                                               \
    Field {                                                                                    \
#member, offsetof(AdslIfObject, member), sizeof(AdslIfObject::member), FieldKind::kind \
    }

// In dump order, which is also layout order.
inline constexpr std::array<Field, 23> kIfFields{{
    VELM_FIELD(bModeAutodetect, Flag),
    VELM_FIELD(connectionMode, Unsigned),
    VELM_FIELD(syncRateUp, UnsignedLong),
    VELM_FIELD(syncRateDown, UnsignedLong),
    VELM_FIELD(vpi, Unsigned),
    VELM_FIELD(vci, Unsigned),
    VELM_FIELD(mux, Unsigned),
    VELM_FIELD(dbMac, Mac),
    VELM_FIELD(mbMac, Mac),
    VELM_FIELD(mbBroadcastMac, Mac),
    VELM_FIELD(bWanTimedOut, Flag),
    VELM_FIELD(wanIp, Text),
    VELM_FIELD(wanNetmask, Text),
    VELM_FIELD(wanGateway, Text),
    VELM_FIELD(bWanStaticDns, Flag),
    VELM_FIELD(wanDns1, Text),
    VELM_FIELD(wanDns2, Text),
    VELM_FIELD(wanMtu, Unsigned),
    VELM_FIELD(bWanStaticIp, Flag),
    VELM_FIELD(bDialOnDemand, Flag),
    VELM_FIELD(username, Text),
    VELM_FIELD(password, Text),
    VELM_FIELD(idleTimeout, Unsigned),
}};

#undef VELM_FIELD

namespace detail {

[[nodiscard]] constexpr bool fieldsTileTheObject() {
    std::size_t next = 0;
    for (const Field& field : kIfFields) {
        if (field.offset != next) return false;
        if (isInteger(field.kind) && field.size != 4) return false;
        if (field.kind == FieldKind::Mac && field.size != 6) return false;
        next += field.size;
    }
    return next == sizeof(AdslIfObject);
}

[[nodiscard]] constexpr std::size_t integerFieldCount() {
    std::size_t count = 0;
    for (const Field& field : kIfFields) count += isInteger(field.kind) ? 1U : 0U;
    return count;
}

// The C header lists the integer fields for peers' own conversion; it must name these.
[[nodiscard]] constexpr bool headerListsTheIntegerFields() {
#define VELM_OFFSET_OF(field) offsetof(AdslIfObject, field),
    constexpr std::array kListed{VELM_IF_INTEGER_FIELDS(VELM_OFFSET_OF)};
#undef VELM_OFFSET_OF
    std::size_t at = 0;
    for (const Field& field : kIfFields) {
        if (!isInteger(field.kind)) continue;
        if (at == kListed.size() || kListed[at++] != field.offset) return false;
    }
    return at == kListed.size();
}

}  // namespace detail

static_assert(detail::fieldsTileTheObject(), "fields must cover the object without gaps");
static_assert(detail::integerFieldCount() == 13);
static_assert(detail::headerListsTheIntegerFields());

// Looks a field up by its name; nullptr when there is none.
[[nodiscard]] constexpr const Field* findField(std::string_view name) noexcept {
    for (const Field& field : kIfFields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

}  // namespace velm::record
