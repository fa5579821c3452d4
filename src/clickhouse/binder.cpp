// Parameter binding: `%(name)s` placeholders of a statement replaced by ClickHouse literals.
//
// Every value becomes one literal that it cannot end: text and bytes are quoted with every quote,
// backslash and control character escaped; numbers are written in their own type's spelling;
// containers are built from the literals of their items.
#include "clickhouse/binder.hpp"

#include "clickhouse/value_literals.hpp"
#include "native/errors.hpp"
#include "native/guards.hpp"
#include "native/literals.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>

namespace kelvora::clickhouse {

namespace {

// Python's repr of a float: the shortest digits that read back as the same double, laid out as
// repr lays them out (an exponent below 1e-4 and from 1e16 on, else fixed, ".0" after a whole
// number).
void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "inf" : "-inf";
        return;
    }
    // "[-]d[.ddd]e(+|-)xx": the digits and the power of ten of the first.
    char scientific[32];
    const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                    std::chars_format::scientific)
                          .ptr;
    const std::string_view text(scientific, static_cast<size_t>(end - scientific));
    const size_t mark = text.find('e');
    const bool negative = text[0] == '-';
    char digits[24];
    int count = 0;
    for (char c : text.substr(negative, mark - negative))
        if (c != '.') digits[count++] = c;
    int power = 0;
    std::from_chars(text.data() + mark + 2, end, power);
    if (text[mark + 1] == '-') power = -power;
    const int point = power + 1; // digits before the decimal point

    char written[40];
    char* at = written;
    if (negative) *at++ = '-';
    if (point < -3 || point > 16) {
        *at++ = digits[0];
        if (count > 1) {
            *at++ = '.';
            at = std::copy(digits + 1, digits + count, at);
        }
        *at++ = 'e';
        *at++ = power < 0 ? '-' : '+';
        const int magnitude = power < 0 ? -power : power;
        if (magnitude < 10) *at++ = '0';
        at = std::to_chars(at, written + sizeof written, magnitude).ptr;
    } else if (point <= 0) {
        *at++ = '0';
        *at++ = '.';
        at = std::fill_n(at, -point, '0');
        at = std::copy(digits, digits + count, at);
    } else if (point >= count) {
        at = std::copy(digits, digits + count, at);
        at = std::fill_n(at, point - count, '0');
        *at++ = '.';
        *at++ = '0';
    } else {
        at = std::copy(digits, digits + point, at);
        *at++ = '.';
        at = std::copy(digits + point, digits + count, at);
    }
    out.append(written, static_cast<size_t>(at - written));
}

// True when the int fits `bytes` bytes, signed or not.
bool fits(PyObject* v, size_t bytes, bool is_signed) {
    unsigned char buffer[32];
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), buffer, bytes,
                            /*little_endian=*/1, is_signed) == 0)
        return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_pending();
    PyErr_Clear();
    return false;
}

template <typename Number> void append_number(std::string& out, Number number) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, static_cast<size_t>(end - digits));
}

// The SQL parser reads a number beyond 64 bits as a Float64, so a wider int is written as the
// conversion of its digits to the narrowest integer type that holds it. An int wider than 256
// bits has no such type and stays a bare number.
void append_int(std::string& out, PyObject* v) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
        if (number == -1 && PyErr_Occurred()) raise_pending();
        append_number(out, number);
        return;
    }
    // The bits of its magnitude; only -2^(n-1) needs all n of a signed type.
    const size_t bits = _PyLong_NumBits(v);
    if (overflow > 0 && bits <= 64) {
        append_number(out, PyLong_AsUnsignedLongLong(v));
        return;
    }
    auto is_signed = [&](size_t width) {
        return bits < width || (bits == width && overflow < 0 && fits(v, width / 8, true));
    };
    const char* type = is_signed(128)                ? "toInt128('"
                       : overflow > 0 && bits <= 128 ? "toUInt128('"
                       : is_signed(256)              ? "toInt256('"
                       : overflow > 0 && bits <= 256 ? "toUInt256('"
                                                     : nullptr;
    if (type) out += type;
    append_utf8(out, steal_or_raise(PyLong_Type.tp_repr(v)));
    if (type) out += "')";
}

template <typename Items>
void append_items(std::string& out, Items items, Py_ssize_t count, bool datetime64) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) out += ", ";
        append_literal(out, items[i], datetime64);
    }
}

// The `str` of a placeholder's name, made once: a statement names the same parameters on every
// call, and a name made anew would be built and hashed again before each lookup. Interned, so a
// dict whose keys are literals of the caller's code finds it by identity. Kept for the life of
// the process, as interned names are, and emptied when full, so statements with ever new names
// cannot grow it without end.
nb::object parameter_name(std::string_view text) {
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };
    static auto* names = new std::unordered_map<std::string, nb::object, Hash, std::equal_to<>>();
    if (auto found = names->find(text); found != names->end()) return found->second;
    if (names->size() >= 4096) names->clear();
    PyObject* name = to_str(text).release().ptr();
    PyUnicode_InternInPlace(&name);
    return names->emplace(text, nb::steal(name)).first->second;
}

} // namespace

void append_literal(std::string& out, nb::handle value, bool datetime64) {
    PyObject* v = value.ptr();
    // The common types first, each told apart by a flag or its exact type; classes that another
    // could share an instance with (a str or int enum, a tuple one) go by the first that holds it.
    if (v == Py_None) {
        out += "NULL";
    } else if (PyBool_Check(v)) {
        out += v == Py_True ? '1' : '0';
    } else if (PyLong_Check(v)) {
        append_int(out, v);
    } else if (PyUnicode_Check(v)) {
        append_clickhouse_string_literal(out, Utf8Text(value).view());
    } else if (PyFloat_Check(v)) {
        append_float(out, PyFloat_AS_DOUBLE(v));
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        RecursionGuard depth(" while binding a parameter");
        // Items are read from a snapshot, so a list changed while binding cannot be cut short.
        nb::object items = steal_or_raise(PySequence_Tuple(v));
        const Py_ssize_t count = PyTuple_GET_SIZE(items.ptr());
        // One item in parentheses is that item, not a tuple: a tuple of one is written tuple(x).
        out += PyList_Check(v) ? "[" : count == 1 ? "tuple(" : "(";
        append_items(out, &PyTuple_GET_ITEM(items.ptr(), 0), count, datetime64);
        out += PyList_Check(v) ? ']' : ')';
    } else if (append_temporal_literal(out, value, datetime64) ||
               append_decimal_literal(out, value) || append_uuid_literal(out, value)) {
    } else if (PyBytes_Check(v) || PyByteArray_Check(v)) {
        char* data = PyBytes_Check(v) ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
        Py_ssize_t size = PyBytes_Check(v) ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v);
        append_clickhouse_bytes_literal(out, {data, static_cast<size_t>(size)});
    } else if (PyDict_Check(v)) {
        RecursionGuard depth(" while binding a parameter");
        // The pairs in a tuple: a literal can run Python code (a value's __str__), which could
        // reach a list of them and drop or replace a pair while it is read.
        nb::object items = steal_or_raise(PyList_AsTuple(steal_or_raise(PyDict_Items(v)).ptr()));
        // map(k, v, ...), which every context reads; `{k: v}` only the VALUES parser does.
        out += "map(";
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
            PyObject* pair = PyTuple_GET_ITEM(items.ptr(), i);
            if (i) out += ", ";
            append_literal(out, PyTuple_GET_ITEM(pair, 0), datetime64);
            out += ", ";
            append_literal(out, PyTuple_GET_ITEM(pair, 1), datetime64);
        }
        out += ')';
    } else if (is_quoted_as_text(value)) {
        append_clickhouse_string_literal(out, Utf8Text(steal_or_raise(PyObject_Str(v))).view());
    } else if (is_enum(value)) {
        // Members of int and str enums are ints and strs already; any other binds its value.
        RecursionGuard depth(" while binding a parameter");
        append_literal(out, value.attr("value"), datetime64);
    } else {
        raise(PyExc_TypeError,
              "a value of type " + python_type_name(value) + " has no ClickHouse literal");
    }
}

nb::object bind(nb::handle query, nb::handle params, bool datetime64) {
    if (params.is_none()) return nb::borrow(query);
    const Utf8Text statement(query);
    const std::string_view text = statement.view();
    std::string out;
    out.reserve(text.size() * 2 + 64);
    size_t at = 0;
    while (true) {
        const size_t percent = text.find('%', at);
        out.append(text, at, percent == std::string_view::npos ? percent : percent - at);
        if (percent == std::string_view::npos) break;
        if (percent + 1 >= text.size()) raise(PyExc_ValueError, "incomplete format");
        const char next = text[percent + 1];
        if (next == '%') {
            out += '%';
            at = percent + 2;
            continue;
        }
        if (next != '(') {
            raise(PyExc_ValueError, std::string("unsupported format character '") + next +
                                        "' at index " + std::to_string(percent + 1));
        }
        const size_t close = text.find(')', percent + 2);
        if (close == std::string_view::npos) raise(PyExc_ValueError, "incomplete format key");
        if (close + 1 >= text.size() || text[close + 1] != 's')
            raise(PyExc_ValueError, "only %(name)s placeholders are supported");
        nb::object name = parameter_name(text.substr(percent + 2, close - percent - 2));
        nb::object value = steal_or_raise(PyObject_GetItem(params.ptr(), name.ptr()));
        try {
            append_literal(out, value, datetime64);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TypeError)) throw;
            raise(PyExc_TypeError,
                  "Parameter '" + utf8(name) + "': " + utf8(e.value().attr("__str__")()));
        }
        at = close + 2;
    }
    return to_str(out);
}

} // namespace kelvora::clickhouse
