#include "index/temporal_value.hpp"

#include <datetime.h>

namespace tarnwick {
namespace {

constexpr int64_t MICROS_PER_SECOND = 1'000'000;

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar, for any
// year datetime accepts (1 to 9999).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t clock_micros(int64_t hour, int64_t minute, int64_t second, int64_t micro) noexcept {
    return ((hour * 60 + minute) * 60 + second) * MICROS_PER_SECOND + micro;
}

int64_t delta_micros(PyObject* delta) noexcept {
    return (int64_t(PyDateTime_DELTA_GET_DAYS(delta)) * 86'400 + PyDateTime_DELTA_GET_SECONDS(delta)) * MICROS_PER_SECOND +
           PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

bool datetime_api_ready() {
    // Every caller holds the GIL, so the import runs once at a time; a failed
    // import is retried on the next call rather than remembered.
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// What the object's own utcoffset() says, as Python decides awareness: a
// tzinfo that answers None leaves the value naive. Nothing when it fails.
struct Offset {
    bool aware = false;
    int64_t micros = 0;
};

std::optional<Offset> utc_offset(PyObject* object, PyObject* tzinfo) {
    if (tzinfo == Py_None) return Offset{};
    OwnedRef offset = OwnedRef::steal(PyObject_CallMethod(object, "utcoffset", nullptr));
    if (!offset) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (offset.get() == Py_None) return Offset{};
    if (PyDelta_Check(offset.get())) return Offset{true, delta_micros(offset.get())};
    return std::nullopt;
}

}  // namespace

const char* temporal_kind_name(TemporalKind kind) noexcept {
    static const char* const names[] = {"Date", "DateTime", "AwareDateTime", "Time", "AwareTime", "TimeDelta"};
    return names[static_cast<size_t>(kind)];
}

TemporalValue TemporalValue::of(TemporalKind kind, int64_t days, int64_t micros) noexcept {
    int64_t carry = micros / MICROS_PER_DAY;
    micros %= MICROS_PER_DAY;
    if (micros < 0) {
        micros += MICROS_PER_DAY;
        --carry;
    }
    return TemporalValue{kind, days + carry, micros};
}

bool is_temporal_type(PyTypeObject* type) {
    if (!datetime_api_ready()) return false;
    return type == PyDateTimeAPI->DateType || type == PyDateTimeAPI->DateTimeType ||
           type == PyDateTimeAPI->TimeType || type == PyDateTimeAPI->DeltaType;
}

std::optional<TemporalValue> temporal_from_py(PyObject* object) {
    if (!datetime_api_ready()) return std::nullopt;
    if (PyDate_CheckExact(object)) {
        const int64_t days = days_from_civil(PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                                             PyDateTime_GET_DAY(object));
        return TemporalValue{TemporalKind::Date, days, 0};
    }
    if (PyDateTime_CheckExact(object)) {
        const std::optional<Offset> offset = utc_offset(object, PyDateTime_DATE_GET_TZINFO(object));
        if (!offset) return std::nullopt;
        const int64_t days = days_from_civil(PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                                             PyDateTime_GET_DAY(object));
        const int64_t micros =
            clock_micros(PyDateTime_DATE_GET_HOUR(object), PyDateTime_DATE_GET_MINUTE(object),
                         PyDateTime_DATE_GET_SECOND(object), PyDateTime_DATE_GET_MICROSECOND(object));
        const TemporalKind kind = offset->aware ? TemporalKind::AwareDateTime : TemporalKind::DateTime;
        return TemporalValue::of(kind, days, micros - offset->micros);
    }
    if (PyTime_CheckExact(object)) {
        const std::optional<Offset> offset = utc_offset(object, PyDateTime_TIME_GET_TZINFO(object));
        if (!offset) return std::nullopt;
        const int64_t micros =
            clock_micros(PyDateTime_TIME_GET_HOUR(object), PyDateTime_TIME_GET_MINUTE(object),
                         PyDateTime_TIME_GET_SECOND(object), PyDateTime_TIME_GET_MICROSECOND(object));
        const TemporalKind kind = offset->aware ? TemporalKind::AwareTime : TemporalKind::Time;
        return TemporalValue::of(kind, 0, micros - offset->micros);
    }
    if (PyDelta_CheckExact(object)) {
        return TemporalValue::of(TemporalKind::TimeDelta, PyDateTime_DELTA_GET_DAYS(object),
                                 int64_t(PyDateTime_DELTA_GET_SECONDS(object)) * MICROS_PER_SECOND +
                                     PyDateTime_DELTA_GET_MICROSECONDS(object));
    }
    return std::nullopt;
}

}  // namespace tarnwick
