// Values checked against their column's type before they travel.
#include "rowquery/typed_values.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <tuple>

namespace kelvora::rowquery {

using namespace nb::literals;

namespace {

/// The Python classes values are made of, imported once and kept for the life of the process.
struct PythonTypes {
    nb::handle date, datetime, decimal, uuid, ip_address, ipv4, ipv6;
};

const PythonTypes& python_types() {
    static const PythonTypes types = [] {
        nb::module_ datetime = nb::module_::import_("datetime");
        nb::module_ ipaddress = nb::module_::import_("ipaddress");
        return PythonTypes{
            nb::object(datetime.attr("date")).release(),
            nb::object(datetime.attr("datetime")).release(),
            nb::object(nb::module_::import_("decimal").attr("Decimal")).release(),
            nb::object(nb::module_::import_("uuid").attr("UUID")).release(),
            nb::object(ipaddress.attr("ip_address")).release(),
            nb::object(ipaddress.attr("IPv4Address")).release(),
            nb::object(ipaddress.attr("IPv6Address")).release(),
        };
    }();
    return types;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

[[noreturn]] void refuse(std::string_view text, const ColumnType& type) {
    throw ValueRefused(quoted(text) + " is not a value of " + type.name);
}

[[noreturn]] void out_of_range(std::string_view text, const ColumnType& type) {
    throw ValueRefused(quoted(text) + " is out of range for " + type.name);
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

nb::object integer_from_text(const ColumnType& type, std::string_view text) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits[0] == '-';
    if (negative || (!digits.empty() && digits[0] == '+')) digits.remove_prefix(1);
    if (!all_digits(digits)) refuse(text, type);
    if (negative && type.family == Family::Unsigned && digits.find_first_not_of('0') != digits.npos)
        out_of_range(text, type);
    std::string whole(text);
    nb::object value = steal_or_raise(PyLong_FromString(whole.c_str(), nullptr, 10));
    // Bounds as Python integers: 2 ** bits for unsigned, 2 ** (bits - 1) for signed.
    nb::object one = nb::int_(1);
    const int magnitude_bits = type.family == Family::Unsigned ? type.bits : type.bits - 1;
    nb::object bound = steal_or_raise(PyNumber_Lshift(one.ptr(), nb::int_(magnitude_bits).ptr()));
    nb::object high = steal_or_raise(PyNumber_Subtract(bound.ptr(), one.ptr()));
    nb::object low = type.family == Family::Unsigned
                         ? nb::object(nb::int_(0))
                         : steal_or_raise(PyNumber_Negative(bound.ptr()));
    int above = PyObject_RichCompareBool(value.ptr(), high.ptr(), Py_GT);
    int below = PyObject_RichCompareBool(value.ptr(), low.ptr(), Py_LT);
    if (above < 0 || below < 0) raise_pending();
    if (above || below) out_of_range(text, type);
    return value;
}

nb::object float_from_text(const ColumnType& type, std::string_view text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        refuse(text, type);
    return nb::float_(value);
}

/// Checks the digits of a decimal text against the column's precision and scale.
void check_decimal(const ColumnType& type, std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
    size_t point = digits.find('.');
    std::string_view whole = digits.substr(0, point);
    std::string_view fraction =
        point == digits.npos ? std::string_view() : digits.substr(point + 1);
    if (!all_digits(whole) || (point != digits.npos && !all_digits(fraction))) refuse(text, type);
    while (whole.size() > 1 && whole[0] == '0')
        whole.remove_prefix(1);
    const size_t integral = whole == "0" ? 0 : whole.size();
    if (static_cast<int>(fraction.size()) > type.scale ||
        static_cast<int>(integral) > type.precision - type.scale)
        throw ValueRefused(quoted(text) + " has more digits than " + type.name + " keeps");
}

/// A calendar date and a time of day, as parsed from "YYYY-MM-DD[( |T)hh:mm:ss[.f...]][Z]".
struct Moment {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, microsecond = 0;
    bool has_time = false;
};

bool read_number(std::string_view text, size_t at, size_t width, int& out) {
    if (at + width > text.size() || !all_digits(text.substr(at, width))) return false;
    std::from_chars(text.data() + at, text.data() + at + width, out);
    return true;
}

bool leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool parse_moment(std::string_view text, Moment& m, int fraction_digits) {
    if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
    if (text.size() < 10 || text[4] != '-' || text[7] != '-') return false;
    if (!read_number(text, 0, 4, m.year) || !read_number(text, 5, 2, m.month) ||
        !read_number(text, 8, 2, m.day))
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m.month < 1 || m.month > 12 || m.day < 1) return false;
    if (m.day > days[m.month - 1] + (m.month == 2 && leap(m.year) ? 1 : 0)) return false;
    if (text.size() == 10) return true;
    if (text.size() < 19 || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        text[16] != ':')
        return false;
    if (!read_number(text, 11, 2, m.hour) || !read_number(text, 14, 2, m.minute) ||
        !read_number(text, 17, 2, m.second) || m.hour > 23 || m.minute > 59 || m.second > 59)
        return false;
    m.has_time = true;
    if (text.size() == 19) return true;
    std::string_view fraction = text.substr(20);
    if (text[19] != '.' || !all_digits(fraction) || fraction.size() > 9) return false;
    // Digits beyond what the column keeps are cut, as the engine stores the value.
    std::string micro(fraction.substr(0, std::min<size_t>(6, fraction.size())));
    micro.resize(6, '0');
    m.microsecond = std::stoi(micro);
    int kept = std::min(fraction_digits, 6);
    int step = 1;
    for (int i = kept; i < 6; ++i)
        step *= 10;
    m.microsecond = m.microsecond / step * step;
    return true;
}

bool within(const Moment& m, const Moment& low, const Moment& high) {
    auto key = [](const Moment& x) {
        return std::tuple(x.year, x.month, x.day, x.hour, x.minute, x.second, x.microsecond);
    };
    return key(low) <= key(m) && key(m) <= key(high);
}

/// Parses a date or time text for a column of a date or time family and checks its range.
Moment moment_of(const ColumnType& type, std::string_view text) {
    Moment m;
    const bool date = type.family == Family::Date || type.family == Family::Date32;
    const int digits = type.family == Family::DateTime64 ? type.scale : 0;
    if (!parse_moment(text, m, digits) || (date && m.has_time)) refuse(text, type);
    Moment low, high;
    switch (type.family) {
    case Family::Date:
        low = {1970, 1, 1};
        high = {2149, 6, 6};
        break;
    case Family::Date32:
        low = {1900, 1, 1};
        high = {2299, 12, 31};
        break;
    case Family::DateTime:
        low = {1970, 1, 1};
        high = {2106, 2, 7, 6, 28, 15};
        break;
    default:
        low = {1900, 1, 1};
        high = {2299, 12, 31, 23, 59, 59, 999999};
        break;
    }
    if (!within(m, low, high)) out_of_range(text, type);
    return m;
}

std::string moment_text(const Moment& m, bool with_time, bool with_fraction) {
    char buffer[40];
    if (!with_time) {
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", m.year, m.month, m.day);
    } else if (!with_fraction) {
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", m.year, m.month,
                      m.day, m.hour, m.minute, m.second);
    } else {
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06d", m.year, m.month,
                      m.day, m.hour, m.minute, m.second, m.microsecond);
    }
    return buffer;
}

size_t utf8_size(nb::handle text) {
    return utf8(text).size();
}

void check_label(const ColumnType& type, std::string_view text) {
    for (const std::string& label : type.labels)
        if (label == text) return;
    refuse(text, type);
}

/// Calls a Python constructor on the text, refusing the value when it raises ValueError.
nb::object constructed(nb::handle constructor, const ColumnType& type, std::string_view text) {
    PyObject* value = PyObject_CallOneArg(constructor.ptr(), to_str(text).ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_pending();
        PyErr_Clear();
        refuse(text, type);
    }
    return nb::steal(value);
}

nb::object address(const ColumnType& type, std::string_view text) {
    const PythonTypes& py = python_types();
    nb::object value = constructed(py.ip_address, type, text);
    nb::handle wanted = type.family == Family::IPv4 ? py.ipv4 : py.ipv6;
    if (!PyObject_IsInstance(value.ptr(), wanted.ptr())) refuse(text, type);
    return value;
}

nb::object uuid(const ColumnType& type, std::string_view text) {
    // Only the 8-4-4-4-12 form, which the engine reads; uuid.UUID would take more spellings.
    static const size_t dashes[] = {8, 13, 18, 23};
    if (text.size() != 36) refuse(text, type);
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == dashes[0] || i == dashes[1] || i == dashes[2] || i == dashes[3];
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) refuse(text, type);
    }
    return constructed(python_types().uuid, type, text);
}

std::string text_of(nb::handle value) {
    return utf8(value);
}

[[noreturn]] void refuse_json(nb::handle value, const ColumnType& type) {
    std::string shown =
        PyUnicode_Check(value.ptr()) ? quoted(utf8(value)) : py_format(value.attr("__repr__")());
    throw ValueRefused(shown + " is not a value of " + type.name);
}

bool is_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

} // namespace

nb::object value_from_text(const ColumnType& type, std::string_view text) {
    const PythonTypes& py = python_types();
    switch (type.family) {
    case Family::Signed:
    case Family::Unsigned:
        return integer_from_text(type, text);
    case Family::Float:
        return float_from_text(type, text);
    case Family::Decimal:
        check_decimal(type, text);
        return constructed(py.decimal, type, text);
    case Family::Bool:
        if (text == "true" || text == "1") return nb::bool_(true);
        if (text == "false" || text == "0") return nb::bool_(false);
        refuse(text, type);
    case Family::FixedString:
        if (text.size() > type.size)
            throw ValueRefused(quoted(text) + " is longer than the " + std::to_string(type.size) +
                               " bytes of " + type.name);
        return to_str(text);
    case Family::Enum:
        check_label(type, text);
        return to_str(text);
    case Family::Date:
    case Family::Date32: {
        Moment m = moment_of(type, text);
        return py.date(m.year, m.month, m.day);
    }
    case Family::DateTime:
    case Family::DateTime64: {
        Moment m = moment_of(type, text);
        return py.datetime(m.year, m.month, m.day, m.hour, m.minute, m.second, m.microsecond);
    }
    case Family::UUID:
        return uuid(type, text);
    case Family::IPv4:
    case Family::IPv6:
        return address(type, text);
    case Family::String:
    case Family::Array:
    case Family::Other:
        break;
    }
    return to_str(text);
}

nb::object value_for_insert(const ColumnType& type, nb::handle value) {
    if (value.is_none()) {
        if (type.nullable) return nb::borrow(value);
        throw ValueRefused("null is not a value of " + type.name);
    }
    const bool text = PyUnicode_Check(value.ptr());
    switch (type.family) {
    case Family::Signed:
    case Family::Unsigned:
        if (!is_int(value)) refuse_json(value, type);
        integer_from_text(type, py_format(value));
        return nb::borrow(value);
    case Family::Float:
        if (!is_int(value) && !PyFloat_Check(value.ptr())) refuse_json(value, type);
        return nb::borrow(value);
    case Family::Decimal:
        if (is_int(value) || text) {
            check_decimal(type, text ? text_of(value) : py_format(value));
            return nb::borrow(value);
        }
        if (PyFloat_Check(value.ptr())) return nb::borrow(value);
        refuse_json(value, type);
    case Family::Bool:
        if (!PyBool_Check(value.ptr())) refuse_json(value, type);
        return nb::borrow(value);
    case Family::String:
        if (!text) refuse_json(value, type);
        return nb::borrow(value);
    case Family::FixedString:
        if (!text) refuse_json(value, type);
        if (utf8_size(value) > type.size)
            throw ValueRefused(quoted(text_of(value)) + " is longer than the " +
                               std::to_string(type.size) + " bytes of " + type.name);
        return nb::borrow(value);
    case Family::Enum:
        if (!text) refuse_json(value, type);
        check_label(type, text_of(value));
        return nb::borrow(value);
    case Family::Date:
    case Family::Date32:
    case Family::DateTime:
    case Family::DateTime64: {
        if (!text) refuse_json(value, type);
        Moment m = moment_of(type, text_of(value));
        const bool date = type.family == Family::Date || type.family == Family::Date32;
        return to_str(moment_text(m, !date, type.family == Family::DateTime64));
    }
    case Family::UUID:
    case Family::IPv4:
    case Family::IPv6: {
        if (!text) refuse_json(value, type);
        std::string given = text_of(value);
        nb::object parsed = type.family == Family::UUID ? uuid(type, given) : address(type, given);
        return nb::str(parsed);
    }
    case Family::Array: {
        if (!PyList_Check(value.ptr())) refuse_json(value, type);
        nb::list elements;
        for (nb::handle element : nb::borrow<nb::list>(value))
            elements.append(value_for_insert(*type.element, element));
        return elements;
    }
    case Family::Other:
        break;
    }
    return nb::borrow(value);
}

std::string cursor_text(nb::handle value) {
    // str(datetime) is "YYYY-MM-DD hh:mm:ss[.ffffff]", str(date) "YYYY-MM-DD", and the other
    // decoded values' texts are the ones value_from_text reads.
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "true" : "false";
    if (PyFloat_Check(value.ptr())) return py_format(value.attr("__repr__")());
    const PythonTypes& py = python_types();
    if (PyObject_IsInstance(value.ptr(), py.datetime.ptr()) && !value.attr("tzinfo").is_none()) {
        // An aware time (a server in another zone) goes into the cursor as its UTC time, which
        // is how naive times are read back.
        nb::object utc = nb::module_::import_("datetime").attr("timezone").attr("utc");
        return py_format(value.attr("astimezone")(utc).attr("replace")("tzinfo"_a = nb::none()));
    }
    return py_format(value);
}

} // namespace kelvora::rowquery
