// Python values of ClickHouse column types: dates and times, decimals, UUIDs, addresses.
#include "clickhouse/values.hpp"

#include "native/errors.hpp"
#include "native/names.hpp"

#include <datetime.h>

#include <charconv>
#include <stdexcept>
#include <string>

namespace kelvora::clickhouse {

using namespace nb::literals;

namespace {

// The classes values are made of, imported once with the module.
struct Classes {
    nb::object decimal, uuid, ipv4, ip_address, zone_info, utc, ip_classes, enumeration;
};
Classes* classes = nullptr;

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
    classes = new Classes{
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
    Civil date = civil_from_days(days);
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
    if (PyObject* text = PyUnicode_DecodeUTF8(data.data(), size, nullptr)) return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise_pending();
    PyErr_Clear();
    return steal_or_raise(PyBytes_FromStringAndSize(data.data(), size));
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

namespace {

void append_padded(std::string& out, int value, int width) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
    out += digits;
}

void append_clock(std::string& out, int hour, int minute, int second, int microsecond) {
    append_padded(out, hour, 2);
    out += ':';
    append_padded(out, minute, 2);
    out += ':';
    append_padded(out, second, 2);
    if (microsecond) {
        out += '.';
        append_padded(out, microsecond, 6);
    }
}

void append_date(std::string& out, nb::handle date) {
    append_padded(out, PyDateTime_GET_YEAR(date.ptr()), 4);
    out += '-';
    append_padded(out, PyDateTime_GET_MONTH(date.ptr()), 2);
    out += '-';
    append_padded(out, PyDateTime_GET_DAY(date.ptr()), 2);
}

} // namespace

bool append_temporal_literal(std::string& out, nb::handle value) {
    PyObject* v = value.ptr();
    if (PyDateTime_Check(v)) {
        // A tzinfo that gives no offset leaves the datetime naive, as Python's own arithmetic has
        // it: a wall-clock time, quoted, which each column reads in its own zone.
        const bool aware = PyDateTime_DATE_GET_TZINFO(v) != Py_None &&
                           !value.attr(KELVORA_NAME("utcoffset"))().is_none();
        nb::object local = nb::borrow(value);
        if (aware) {
            local = value.attr(KELVORA_NAME("astimezone"))(classes->utc);
            // A subclass's astimezone() may return anything; only a datetime has these fields.
            if (!PyDateTime_Check(local.ptr()))
                raise(PyExc_TypeError,
                      "astimezone() returned non-datetime (type " + python_type_name(local) + ")");
        }
        PyObject* l = local.ptr();
        const int year = PyDateTime_GET_YEAR(l), microsecond = PyDateTime_DATE_GET_MICROSECOND(l);
        std::string seconds = "'";
        append_date(seconds, local);
        seconds += ' ';
        append_clock(seconds, PyDateTime_DATE_GET_HOUR(l), PyDateTime_DATE_GET_MINUTE(l),
                     PyDateTime_DATE_GET_SECOND(l), 0);
        seconds += '\'';
        const bool in_datetime = microsecond == 0 && (!aware || (year >= 1970 && year <= 2105));
        if (in_datetime) {
            // An aware datetime is an instant: its UTC time converted in UTC, which every column,
            // comparison and function takes as that instant whatever its own or the server's zone.
            out += aware ? "toDateTime(" + seconds + ", 'UTC')" : seconds;
            return true;
        }
        // Microseconds (or an instant beyond DateTime's years) need a DateTime64, which servers
        // before 20 lack, and those refuse a fraction in a DateTime. So the version picks: the
        // fraction as a DateTime64, which every DateTime and DateTime64 context takes (IN too),
        // or else whole seconds as a DateTime.
        std::string fraction = seconds;
        fraction.pop_back();
        fraction += '.';
        append_padded(fraction, microsecond, 6);
        fraction += '\'';
        out += "CAST(if(version() >= '20', " + fraction + ", " + seconds + "), ";
        out += aware ? "if(version() >= '20', 'DateTime64(6, \\'UTC\\')', 'DateTime(\\'UTC\\')'))"
                     : "if(version() >= '20', 'DateTime64(6)', 'DateTime'))";
        return true;
    }
    if (PyDate_Check(v)) {
        out += '\'';
        append_date(out, value);
        out += '\'';
        return true;
    }
    if (PyDelta_Check(v)) {
        // An interval, which date and time arithmetic takes (`now() - %(age)s`): whole seconds on
        // every server, microseconds where the server has them.
        const int64_t seconds =
            int64_t{PyDateTime_DELTA_GET_DAYS(v)} * 86400 + PyDateTime_DELTA_GET_SECONDS(v);
        const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(v);
        if (microseconds == 0) {
            out += "toIntervalSecond(" + std::to_string(seconds) + ')';
        } else {
            // Days reach 10^9: in microseconds that is beyond 64 bits, so the digits are joined.
            const bool negative = seconds < 0;
            const uint64_t whole =
                negative ? static_cast<uint64_t>(-(seconds + 1)) : static_cast<uint64_t>(seconds);
            const int part = negative ? 1000000 - microseconds : microseconds;
            out += negative ? "toIntervalMicrosecond(-" : "toIntervalMicrosecond(";
            if (whole) out += std::to_string(whole);
            std::string fraction;
            append_padded(fraction, part, whole ? 6 : 1);
            out += fraction + ')';
        }
        return true;
    }
    if (PyTime_Check(v)) {
        out += '\'';
        append_clock(out, PyDateTime_TIME_GET_HOUR(v), PyDateTime_TIME_GET_MINUTE(v),
                     PyDateTime_TIME_GET_SECOND(v), PyDateTime_TIME_GET_MICROSECOND(v));
        out += '\'';
        return true;
    }
    return false;
}

bool is_enum(nb::handle value) {
    return nb::isinstance(value, classes->enumeration);
}

bool is_decimal(nb::handle value) {
    return nb::isinstance(value, classes->decimal);
}

bool is_quoted_as_text(nb::handle value) {
    return PyObject_IsInstance(value.ptr(), classes->ip_classes.ptr()) == 1;
}

bool append_uuid_literal(std::string& out, nb::handle value) {
    if (!nb::isinstance(value, classes->uuid)) return false;
    // The 128-bit number in hex, grouped 8-4-4-4-12, as UUID.__str__ writes it.
    nb::object number = value.attr(KELVORA_NAME("int"));
    // The attribute of a UUID (or subclass) can be replaced; only an int has these bytes.
    if (!PyLong_Check(number.ptr()))
        raise(PyExc_TypeError, "UUID.int is not an int (type " + python_type_name(number) + ")");
    unsigned char bytes[16];
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number.ptr()), bytes, 16,
                            /*little_endian=*/0, /*is_signed=*/0) < 0)
        raise_pending();
    static const char hex[] = "0123456789abcdef";
    out += '\'';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    out += '\'';
    return true;
}

} // namespace kelvora::clickhouse
