// Dates, times and durations as ordered values.
//
// Every `datetime.date`, `datetime.datetime`, `datetime.time` and
// `datetime.timedelta` (exact types: subclasses such as pandas' Timestamp stay
// opaque, as subclasses of int do) becomes a whole number of days and a number
// of microseconds within the day. The kinds never meet: a date never equals a
// datetime, a naive datetime never equals an aware one, none of them equals a
// number, and each kind has an order of its own. Aware datetimes and times are
// kept as instants (their UTC offset subtracted), so two aware values equal
// when they name the same moment, whatever their zones.
//
// The kind and the (days, micros) pair are all that equality, hashing and the
// ordered index use; code that groups or sorts values by kind can rely on
// `TemporalValue`'s ordering within one kind.
#pragma once

#include "index/pyref.hpp"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarnwick {

enum class TemporalKind : uint8_t { Date = 0, DateTime = 1, AwareDateTime = 2, Time = 3, AwareTime = 4, TimeDelta = 5 };

inline constexpr size_t TEMPORAL_KIND_COUNT = 6;

const char* temporal_kind_name(TemporalKind kind) noexcept;

struct TemporalValue {
    static constexpr int64_t MICROS_PER_DAY = 86'400'000'000;

    // Days since 1970-01-01 (proleptic Gregorian) for dates and datetimes; 0
    // for times, -1 or 1 for aware times whose offset carries them over
    // midnight; the signed day count of a timedelta.
    int64_t days = 0;
    // Always in [0, MICROS_PER_DAY).
    int64_t micros = 0;
    // Last, so that a stored value (CastValue) can keep its kind byte after it.
    TemporalKind kind = TemporalKind::Date;

    constexpr TemporalValue() noexcept = default;
    constexpr TemporalValue(TemporalKind k, int64_t d, int64_t m) noexcept : days(d), micros(m), kind(k) {}

    // Builds a normalised value from any count of microseconds past `days`.
    static TemporalValue of(TemporalKind kind, int64_t days, int64_t micros) noexcept;

    friend bool operator==(const TemporalValue&, const TemporalValue&) = default;
    // Meaningful within one kind; across kinds it orders by kind first.
    friend std::strong_ordering operator<=>(const TemporalValue& a, const TemporalValue& b) noexcept {
        if (auto k = a.kind <=> b.kind; k != 0) return k;
        if (auto d = a.days <=> b.days; d != 0) return d;
        return a.micros <=> b.micros;
    }
};

// Whether values of this exact type are temporal. Needs the GIL (the first
// call imports the datetime C API); false if that import fails.
bool is_temporal_type(PyTypeObject* type);

// The temporal value of `object` if its exact type is one of the four. An
// aware value's UTC offset is asked of its tzinfo, which may run Python code:
// call with the GIL and no native lock held. A tzinfo whose utcoffset raises
// or returns something other than a timedelta gives nothing (the Python error
// is cleared), so the object is kept as an opaque value.
std::optional<TemporalValue> temporal_from_py(PyObject* object);

}  // namespace tarnwick
