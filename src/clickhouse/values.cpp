// Python values of ClickHouse column types: dates and times, decimals, UUIDs, addresses.
#include "clickhouse/values.hpp"

#include "native/errors.hpp"
#include "native/names.hpp"

#include <datetime.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace kelvora::clickhouse {

using namespace nb::literals;

namespace {

ValueClasses* classes = nullptr;

struct Civil {
    int64_t year;
    int month, day;
};

// Days since 1970-01-01 to a proleptic Gregorian date.
Civil civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

// A 64-bit count of seconds reaches years far beyond an int: refused as Python refuses them
// (datetime.MINYEAR to MAXYEAR), before a narrowing could turn one into a year in range.
int python_year(int64_t year) {
    if (year < 1 || year > 9999)
        raise(PyExc_ValueError, "year " + std::to_string(year) + " is out of range");
    return static_cast<int>(year);
}

int digits_at(std::string_view text, size_t at, size_t count) {
    int value = 0;
    if (at + count > text.size()) throw std::invalid_argument("bad date or time");
    auto [end, error] = std::from_chars(text.data() + at, text.data() + at + count, value);
    if (error != std::errc() || end != text.data() + at + count)
        throw std::invalid_argument("bad date or time");
    return value;
}

} // namespace

void init_values() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise_pending();
    classes = new ValueClasses{
        nb::module_::import_("decimal").attr("Decimal"),
        nb::module_::import_("uuid").attr("UUID"),
        nb::module_::import_("ipaddress").attr("IPv4Address"),
        nb::module_::import_("ipaddress").attr("ip_address"),
        nb::module_::import_("zoneinfo").attr("ZoneInfo"),
        nb::borrow(PyDateTime_TimeZone_UTC),
        nb::make_tuple(nb::module_::import_("ipaddress").attr("IPv4Address"),
                       nb::module_::import_("ipaddress").attr("IPv6Address")),
        nb::module_::import_("enum").attr("Enum"),
    };
}

const ValueClasses& value_classes() {
    return *classes;
}

Zone::Zone(nb::handle tzinfo) {
    if (!tzinfo.is_none() && !tzinfo.is(classes->utc)) tzinfo_ = nb::borrow(tzinfo);
}

Zone Zone::named(std::string_view name) const {
    if (name.empty()) return *this;
    if (name == "UTC" || name == "Etc/UTC") return Zone(nb::none());
    return Zone(classes->zone_info(nb::str(name.data(), name.size())));
}

nb::object Zone::datetime(int64_t seconds, int microseconds) const {
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // The datetimes of an answer mostly fall on the day of the one before: its date is kept.
    thread_local int64_t last_days = std::numeric_limits<int64_t>::min();
    thread_local Civil last_date{};
    if (days != last_days) {
        last_date = civil_from_days(days);
        last_days = days;
    }
    const Civil date = last_date;
    const int hour = static_cast<int>(rest / 3600), minute = static_cast<int>(rest / 60 % 60),
              second = static_cast<int>(rest % 60);
    if (!tzinfo_.is_valid()) {
        return steal_or_raise(PyDateTime_FromDateAndTime(
            python_year(date.year), date.month, date.day, hour, minute, second, microseconds));
    }
    // The UTC fields marked with the zone, then the zone's own conversion from UTC.
    nb::object marked = steal_or_raise(PyDateTimeAPI->DateTime_FromDateAndTime(
        python_year(date.year), date.month, date.day, hour, minute, second, microseconds,
        tzinfo_.ptr(), PyDateTimeAPI->DateTimeType));
    nb::object local = tzinfo_.attr(KELVORA_NAME("fromutc"))(marked);
    return local.attr(KELVORA_NAME("replace"))("tzinfo"_a = nb::none());
}

nb::object date_from_days(int64_t days) {
    Civil date = civil_from_days(days);
    return steal_or_raise(PyDate_FromDate(python_year(date.year), date.month, date.day));
}

SecondsAndMicroseconds split_ticks(int64_t ticks, int scale) {
    int64_t per_second = 1;
    for (int i = 0; i < scale; ++i)
        per_second *= 10;
    int64_t seconds = ticks / per_second, fraction = ticks % per_second;
    if (fraction < 0) {
        fraction += per_second;
        --seconds;
    }
    const int64_t microseconds =
        scale <= 6 ? fraction * (1000000 / per_second) : fraction / (per_second / 1000000);
    return {seconds, static_cast<int>(microseconds)};
}

namespace {

// The most days a timedelta holds, either way (timedelta.max.days).
constexpr int64_t max_timedelta_days = 999999999;

nb::object timedelta(int64_t seconds, int microseconds, const std::string& what) {
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    if (days < -max_timedelta_days || days > max_timedelta_days)
        raise(PyExc_ValueError, what + " is out of the range of a timedelta");
    return steal_or_raise(
        PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest), microseconds));
}

} // namespace

nb::object timedelta_from_ticks(int64_t ticks, int scale) {
    const auto [seconds, microseconds] = split_ticks(ticks, scale);
    return timedelta(seconds, microseconds, "time " + std::to_string(ticks));
}

nb::object time_from_text(std::string_view text, int scale) {
    // [-]h:mm:ss[.fraction], hours of any width.
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 9)
        throw std::invalid_argument("bad date or time");
    int64_t ticks = digits_at(text, 0, colon);
    ticks = (ticks * 60 + digits_at(text, colon + 1, 2)) * 60 + digits_at(text, colon + 4, 2);
    if (text[colon + 3] != ':') throw std::invalid_argument("bad date or time");
    std::string fraction;
    if (text.size() > colon + 6) {
        if (text[colon + 6] != '.') throw std::invalid_argument("bad date or time");
        fraction = text.substr(colon + 7);
    }
    if (fraction.size() > static_cast<size_t>(scale))
        throw std::invalid_argument("bad date or time");
    fraction.resize(static_cast<size_t>(scale), '0');
    for (int i = 0; i < scale; ++i)
        ticks = ticks * 10 + digits_at(fraction, static_cast<size_t>(i), 1);
    return timedelta_from_ticks(negative ? -ticks : ticks, scale);
}

nb::object interval_value(const ColumnType& type, int64_t count) {
    const int64_t unit = type.unit_microseconds;
    if (unit == 0) return steal_or_raise(PyLong_FromLongLong(count));
    const std::string what = type.name + " " + std::to_string(count);
    if (unit < 1000000) {
        // Milliseconds and microseconds: whole seconds and the rest.
        const int64_t per_second = 1000000 / unit;
        int64_t seconds = count / per_second, rest = count % per_second;
        if (rest < 0) {
            rest += per_second;
            --seconds;
        }
        return timedelta(seconds, static_cast<int>(rest * unit), what);
    }
    int64_t seconds = 0;
    if (__builtin_mul_overflow(count, unit / 1000000, &seconds))
        raise(PyExc_ValueError, what + " is out of the range of a timedelta");
    return timedelta(seconds, 0, what);
}

nb::object float_from_bfloat16(uint16_t bits) {
    return steal_or_raise(PyFloat_FromDouble(std::bit_cast<float>(uint32_t{bits} << 16)));
}

nb::object bfloat16_from_text(double value) {
    // Rounded to nearest, ties to even, on the Float32's bits; NaN stays NaN.
    uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(value));
    if (!std::isnan(value)) bits += 0x7FFF + (bits >> 16 & 1);
    return float_from_bfloat16(static_cast<uint16_t>(bits >> 16));
}

nb::object decimal_from_digits(std::string_view digits, int scale) {
    std::string sign, body(digits);
    if (!body.empty() && body[0] == '-') {
        sign = "-";
        body.erase(0, 1);
    }
    if (scale > 0) {
        if (body.size() <= static_cast<size_t>(scale))
            body.insert(0, static_cast<size_t>(scale) - body.size() + 1, '0');
        body.insert(body.size() - static_cast<size_t>(scale), 1, '.');
    }
    return decimal_from_text(sign + body);
}

nb::object decimal_from_text(std::string_view text) {
    return classes->decimal(nb::str(text.data(), text.size()));
}

nb::object uuid_from_halves(uint64_t high, uint64_t low) {
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
    }
    nb::object raw = steal_or_raise(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), sizeof bytes));
    return classes->uuid("bytes"_a = raw);
}

nb::object uuid_from_text(std::string_view text) {
    return classes->uuid(nb::str(text.data(), text.size()));
}

nb::object ipv4_from_int(uint32_t address) {
    return classes->ipv4(nb::int_(address));
}

nb::object ip_from_text(std::string_view text) {
    return classes->ip_address(nb::str(text.data(), text.size()));
}

nb::object ipv6_from_bytes(const unsigned char* bytes) {
    nb::object raw =
        steal_or_raise(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), 16));
    return classes->ip_address(raw);
}

nb::object text_or_bytes(std::string_view data) {
    const auto size = static_cast<Py_ssize_t>(data.size());
    // Short ASCII text, the common case, copied straight into a new str: the decoder's own
    // ASCII path costs more than the copy for the few bytes of a typical value.
    if (size <= 64) {
        unsigned char any = 0;
        for (char c : data)
            any |= static_cast<unsigned char>(c);
        if (any < 0x80) {
            PyObject* text = PyUnicode_New(size, 127);
            if (!text) raise_pending();
            std::memcpy(PyUnicode_DATA(text), data.data(), data.size());
            return nb::steal(text);
        }
    }
    if (PyObject* text = PyUnicode_DecodeUTF8(data.data(), size, nullptr)) return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise_pending();
    PyErr_Clear();
    return steal_or_raise(PyBytes_FromStringAndSize(data.data(), size));
}

nb::object TextCache::text(std::string_view data) {
    // Judged on the first 256 texts: fewer than one in eight found, and the lookups cost more
    // than they save.
    constexpr uint32_t trial = 256, worth = trial / 8;
    if (data.size() > longest || (looked_up_ >= trial && found_ < worth))
        return text_or_bytes(data);
    ++looked_up_;
    uint32_t hash = 2166136261u; // FNV-1a
    for (char c : data)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    Slot& slot = slots_[hash % slots_.size()];
    if (slot.text.is_valid() && slot.size == data.size() &&
        std::memcmp(slot.bytes, data.data(), data.size()) == 0) {
        ++found_;
        return slot.text;
    }
    slot.text = text_or_bytes(data);
    slot.size = static_cast<uint8_t>(data.size());
    std::memcpy(slot.bytes, data.data(), data.size());
    return slot.text;
}

namespace {
// Old servers write day 0 and second 0 of the epoch as zeros ("0000-00-00 00:00:00").
bool epoch_zero(std::string_view text) {
    return text.substr(0, 10) == "0000-00-00";
}
} // namespace

nb::object date_from_text(std::string_view text) {
    if (epoch_zero(text)) return date_from_days(0);
    return steal_or_raise(
        PyDate_FromDate(digits_at(text, 0, 4), digits_at(text, 5, 2), digits_at(text, 8, 2)));
}

nb::object datetime_from_text(std::string_view text) {
    if (epoch_zero(text)) return steal_or_raise(PyDateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0));
    int microseconds = 0;
    if (text.size() > 20 && text[19] == '.') {
        std::string fraction(text.substr(20, 6));
        fraction.resize(6, '0');
        microseconds = digits_at(fraction, 0, 6);
    }
    return steal_or_raise(PyDateTime_FromDateAndTime(
        digits_at(text, 0, 4), digits_at(text, 5, 2), digits_at(text, 8, 2), digits_at(text, 11, 2),
        digits_at(text, 14, 2), digits_at(text, 17, 2), microseconds));
}

} // namespace kelvora::clickhouse
