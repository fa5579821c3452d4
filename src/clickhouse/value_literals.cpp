// ClickHouse literals of Python values that have no literal of their own in SQL.
#include "clickhouse/value_literals.hpp"

#include "clickhouse/values.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

namespace kelvora::clickhouse {

namespace {

// datetime.utcoffset itself: a subclass's own utcoffset() does not decide what instant its
// tzinfo gives, as it does not for Python's astimezone(). Kept for the life of the process.
PyObject* datetime_utcoffset = nullptr;

} // namespace

void init_value_literals() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise_pending();
    datetime_utcoffset =
        steal_or_raise(PyObject_GetAttrString(
                           reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "utcoffset"))
            .release()
            .ptr();
}

namespace {

// Writes `value` (below 10^width) as `width` digits, zeros in front; returns the end.
char* put_digits(char* at, int value, int width) {
    for (char* digit = at + width; digit != at; value /= 10)
        *--digit = static_cast<char>('0' + value % 10);
    return at + width;
}

struct Civil {
    int year, month, day;
};

struct Clock {
    int hour, minute, second, microsecond;
};

// 'YYYY-MM-DD hh:mm:ss' (19 characters), with '.ffffff' after it when `fraction`.
char* put_date_time(char* at, Civil date, Clock clock, bool fraction) {
    at = put_digits(at, date.year, 4);
    *at++ = '-';
    at = put_digits(at, date.month, 2);
    *at++ = '-';
    at = put_digits(at, date.day, 2);
    *at++ = ' ';
    at = put_digits(at, clock.hour, 2);
    *at++ = ':';
    at = put_digits(at, clock.minute, 2);
    *at++ = ':';
    at = put_digits(at, clock.second, 2);
    if (fraction) {
        *at++ = '.';
        at = put_digits(at, clock.microsecond, 6);
    }
    return at;
}

int days_in_month(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : days[month - 1];
}

// The date `by` (-1, 0 or 1) days on.
Civil shifted(Civil date, int by) {
    date.day += by;
    if (date.day < 1) {
        if (--date.month < 1) {
            date.month = 12;
            --date.year;
        }
        date.day = days_in_month(date.year, date.month);
    } else if (date.day > days_in_month(date.year, date.month)) {
        date.day = 1;
        if (++date.month > 12) {
            date.month = 1;
            ++date.year;
        }
    }
    // The years Python's datetime has, as its astimezone() refuses the others.
    if (date.year < 1 || date.year > 9999) raise(PyExc_OverflowError, "date value out of range");
    return date;
}

constexpr int64_t microseconds_a_day = int64_t{86400} * 1000000;

void append_datetime(std::string& out, PyObject* v, bool datetime64) {
    Civil date{PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)};
    Clock clock{PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v)};
    bool aware = false;
    if (PyDateTime_DATE_GET_TZINFO(v) != Py_None) {
        // Python checks what the tzinfo gives: None or a timedelta within a day either way.
        nb::object offset = steal_or_raise(PyObject_CallOneArg(datetime_utcoffset, v));
        // A tzinfo that gives no offset leaves the datetime naive, as Python's own arithmetic
        // has it.
        aware = !offset.is_none();
        if (aware) {
            // The UTC time, as astimezone(UTC) gives it: the offset is under a day, so the date
            // moves by one day at most.
            PyObject* o = offset.ptr();
            const int64_t local =
                ((int64_t{clock.hour} * 60 + clock.minute) * 60 + clock.second) * 1000000 +
                clock.microsecond;
            int64_t utc =
                local -
                (int64_t{PyDateTime_DELTA_GET_DAYS(o)} * 86400 + PyDateTime_DELTA_GET_SECONDS(o)) *
                    1000000 -
                PyDateTime_DELTA_GET_MICROSECONDS(o);
            const int by = utc < 0 ? -1 : utc >= microseconds_a_day ? 1 : 0;
            utc -= by * microseconds_a_day;
            date = shifted(date, by);
            clock = {static_cast<int>(utc / 3600000000), static_cast<int>(utc / 60000000 % 60),
                     static_cast<int>(utc / 1000000 % 60), static_cast<int>(utc % 1000000)};
        }
    }
    // A DateTime holds whole seconds from 1970 to 2106. An aware datetime is an instant: its UTC
    // time converted in UTC, which every column, comparison and function takes as that instant
    // whatever its own or the server's zone. A naive one is a wall-clock time, quoted, which each
    // column reads in its own zone.
    const bool in_datetime =
        clock.microsecond == 0 && (!aware || (date.year >= 1970 && date.year <= 2105));
    // Microseconds (or an instant beyond DateTime's years) need a DateTime64, which every
    // DateTime and DateTime64 context takes (IN too), keeping the fraction where the column holds
    // it. A server without one refuses a fraction even in a DateTime: it gets the whole seconds.
    const bool fraction = !in_datetime && datetime64;
    char text[64];
    char* at = text;
    auto put = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
    if (!in_datetime || aware) put(fraction ? "toDateTime64(" : "toDateTime(");
    *at++ = '\'';
    at = put_date_time(at, date, clock, fraction);
    *at++ = '\'';
    if (fraction) put(", 6");
    if (aware) put(", 'UTC'");
    if (!in_datetime || aware) *at++ = ')';
    out.append(text, static_cast<size_t>(at - text));
}

// An interval, which date and time arithmetic takes (`now() - %(age)s`): whole seconds on every
// server, microseconds where the server has them.
void append_interval(std::string& out, PyObject* v) {
    const int64_t seconds =
        int64_t{PyDateTime_DELTA_GET_DAYS(v)} * 86400 + PyDateTime_DELTA_GET_SECONDS(v);
    const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(v);
    char text[64];
    char* at = text;
    auto put = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
    if (microseconds == 0) {
        put("toIntervalSecond(");
        at = std::to_chars(at, text + sizeof text, seconds).ptr;
    } else {
        // Days reach 10^9: in microseconds that is beyond 64 bits, so the digits are joined.
        const bool negative = seconds < 0;
        const uint64_t whole =
            negative ? static_cast<uint64_t>(-(seconds + 1)) : static_cast<uint64_t>(seconds);
        const int part = negative ? 1000000 - microseconds : microseconds;
        put(negative ? "toIntervalMicrosecond(-" : "toIntervalMicrosecond(");
        if (whole) {
            at = std::to_chars(at, text + sizeof text, whole).ptr;
            at = put_digits(at, part, 6);
        } else {
            at = std::to_chars(at, text + sizeof text, part).ptr;
        }
    }
    *at++ = ')';
    out.append(text, static_cast<size_t>(at - text));
}

} // namespace

bool append_temporal_literal(std::string& out, nb::handle value, bool datetime64) {
    PyObject* v = value.ptr();
    if (PyDateTime_Check(v)) {
        append_datetime(out, v, datetime64);
    } else if (PyDate_Check(v)) {
        char text[12] = {'\''};
        char* at = put_digits(text + 1, PyDateTime_GET_YEAR(v), 4);
        *at++ = '-';
        at = put_digits(at, PyDateTime_GET_MONTH(v), 2);
        *at++ = '-';
        at = put_digits(at, PyDateTime_GET_DAY(v), 2);
        *at++ = '\'';
        out.append(text, static_cast<size_t>(at - text));
    } else if (PyDelta_Check(v)) {
        append_interval(out, v);
    } else if (PyTime_Check(v)) {
        const int microsecond = PyDateTime_TIME_GET_MICROSECOND(v);
        char text[20] = {'\''};
        char* at = put_digits(text + 1, PyDateTime_TIME_GET_HOUR(v), 2);
        *at++ = ':';
        at = put_digits(at, PyDateTime_TIME_GET_MINUTE(v), 2);
        *at++ = ':';
        at = put_digits(at, PyDateTime_TIME_GET_SECOND(v), 2);
        if (microsecond) {
            *at++ = '.';
            at = put_digits(at, microsecond, 6);
        }
        *at++ = '\'';
        out.append(text, static_cast<size_t>(at - text));
    } else {
        return false;
    }
    return true;
}

namespace {

// A finite Decimal's number as Decimal.__str__ writes it: [-]digits[.digits][E[+|-]digits],
// read as sign, digits and the power of ten they are multiplied by.
struct DecimalNumber {
    bool negative = false;
    std::string digits; // without leading zeros; empty for zero
    int64_t exponent = 0;
};

bool read_digits(std::string_view& text, std::string_view& digits) {
    size_t count = 0;
    while (count < text.size() && text[count] >= '0' && text[count] <= '9')
        ++count;
    digits = text.substr(0, count);
    text.remove_prefix(count);
    return count > 0;
}

bool read_decimal(std::string_view text, DecimalNumber& number) {
    number.negative = !text.empty() && text[0] == '-';
    text.remove_prefix(number.negative);
    std::string_view whole, fraction, power;
    if (!read_digits(text, whole)) return false;
    if (!text.empty() && text[0] == '.') {
        text.remove_prefix(1);
        if (!read_digits(text, fraction)) return false;
    }
    if (!text.empty() && (text[0] == 'E' || text[0] == 'e')) {
        text.remove_prefix(1);
        const bool below = !text.empty() && text[0] == '-';
        if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
        if (!read_digits(text, power)) return false;
        const auto read =
            std::from_chars(power.data(), power.data() + power.size(), number.exponent);
        // Decimal's exponents stay far inside 64 bits.
        if (read.ec != std::errc()) return false;
        if (below) number.exponent = -number.exponent;
    }
    if (!text.empty()) return false;
    number.exponent -= static_cast<int64_t>(fraction.size());
    number.digits.assign(whole).append(fraction);
    number.digits.erase(0, number.digits.find_first_not_of('0'));
    return true;
}

} // namespace

// A bare decimal number is read as a Float64, which keeps 15 digits whatever the value: a finite
// Decimal of more digits is written as the conversion of its digits to the narrowest Decimal type
// of its precision and scale (up to 76 digits, as the engine's widest Decimal holds), so it keeps
// every digit wherever it is used. One of 15 digits or fewer stays bare: a Float64 gives it back
// exactly, and old servers (18.16) insert a typed Decimal only into a column of its very width.
// Beyond 76 digits no type holds it, and it stays bare too.
bool append_decimal_literal(std::string& out, nb::handle value) {
    PyObject* decimal = value_classes().decimal.ptr();
    if (!PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(decimal))) return false;
    // Decimal's own text, as int's is read for ints: a subclass's __str__ or __format__ could
    // write anything into the statement.
    nb::object written =
        steal_or_raise(reinterpret_cast<PyTypeObject*>(decimal)->tp_str(value.ptr()));
    const Utf8Text text(written);
    const std::string_view number_text = text.view();
    const std::string_view magnitude = number_text.substr(number_text.starts_with('-'));
    if (magnitude.starts_with("NaN") || magnitude == "Infinity") {
        out += magnitude == "Infinity" ? (number_text[0] == '-' ? "-inf" : "inf") : "nan";
        return true;
    }
    if (magnitude.starts_with("sNaN"))
        raise(PyExc_TypeError, "a signaling NaN Decimal has no ClickHouse literal");
    DecimalNumber number;
    if (!read_decimal(number_text, number))
        raise(PyExc_TypeError,
              "Decimal.__str__ returned " + std::string(number_text) + ", not a decimal number");
    const int64_t count = static_cast<int64_t>(number.digits.size());
    const int64_t scale = std::max<int64_t>(-number.exponent, 0);
    // The digits of format(value, 'f'), leading zeros of the whole part aside.
    const int64_t precision =
        number.exponent >= 0 ? (count ? count + number.exponent : 1) : std::max(count, scale);
    if (precision <= 15 || precision > 76) {
        out += number_text;
        return true;
    }
    out += precision <= 9    ? "toDecimal32('"
           : precision <= 18 ? "toDecimal64('"
           : precision <= 38 ? "toDecimal128('"
                             : "toDecimal256('";
    if (number.negative) out += '-';
    if (number.exponent >= 0) {
        out += number.digits;
        out.append(static_cast<size_t>(number.exponent), '0');
    } else if (count > scale) {
        out.append(number.digits, 0, static_cast<size_t>(count - scale));
        out += '.';
        out.append(number.digits, static_cast<size_t>(count - scale));
    } else {
        out += "0.";
        out.append(static_cast<size_t>(scale - count), '0');
        out += number.digits;
    }
    out += "', ";
    out += std::to_string(scale);
    out += ')';
    return true;
}

bool append_uuid_literal(std::string& out, nb::handle value) {
    if (!nb::isinstance(value, value_classes().uuid)) return false;
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
    char text[38] = {'\''};
    char* at = text + 1;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *at++ = '-';
        *at++ = hex[bytes[i] >> 4];
        *at++ = hex[bytes[i] & 15];
    }
    *at++ = '\'';
    out.append(text, static_cast<size_t>(at - text));
    return true;
}

bool is_enum(nb::handle value) {
    return nb::isinstance(value, value_classes().enumeration);
}

bool is_quoted_as_text(nb::handle value) {
    // isinstance() runs a class's __instancecheck__, which may raise.
    const int found = PyObject_IsInstance(value.ptr(), value_classes().ip_classes.ptr());
    if (found < 0) raise_pending();
    return found == 1;
}

} // namespace kelvora::clickhouse
