// ClickHouse literals of Python values that have no literal of their own in SQL.
#include "clickhouse/value_literals.hpp"

#include "clickhouse/values.hpp"
#include "native/errors.hpp"
#include "native/names.hpp"

#include <datetime.h>

#include <string>

namespace kelvora::clickhouse {

void init_value_literals() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise_pending();
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
            local = value.attr(KELVORA_NAME("astimezone"))(value_classes().utc);
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
    return nb::isinstance(value, value_classes().enumeration);
}

bool is_decimal(nb::handle value) {
    return nb::isinstance(value, value_classes().decimal);
}

bool is_quoted_as_text(nb::handle value) {
    return PyObject_IsInstance(value.ptr(), value_classes().ip_classes.ptr()) == 1;
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
