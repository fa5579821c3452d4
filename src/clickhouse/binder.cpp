// Parameter binding: `%(name)s` placeholders of a statement replaced by ClickHouse literals.
//
// Every value becomes one literal that it cannot end: text and bytes are quoted with every quote,
// backslash and control character escaped; numbers are written in their own type's spelling;
// containers are built from the literals of their items.
#include "clickhouse/binder.hpp"

#include "clickhouse/value_literals.hpp"
#include "clickhouse/values.hpp"
#include "native/errors.hpp"
#include "native/guards.hpp"
#include "native/literals.hpp"

#include <algorithm>
#include <cmath>

namespace kelvora::clickhouse {

namespace {

void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
    } else if (std::isinf(value)) {
        out += value > 0 ? "inf" : "-inf";
    } else {
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) raise_pending();
        out += text;
        PyMem_Free(text);
    }
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

// The SQL parser reads a number beyond 64 bits as a Float64, so a wider int is written as the
// conversion of its digits to the narrowest integer type that holds it. An int wider than 256
// bits has no such type and stays a bare number.
void append_int(std::string& out, PyObject* v) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0 || (overflow > 0 && fits(v, 8, false))) {
        out += utf8(steal_or_raise(PyLong_Type.tp_repr(v)));
        return;
    }
    const char* type = fits(v, 16, true)    ? "toInt128('"
                       : fits(v, 16, false) ? "toUInt128('"
                       : fits(v, 32, true)  ? "toInt256('"
                       : fits(v, 32, false) ? "toUInt256('"
                                            : nullptr;
    if (type) out += type;
    out += utf8(steal_or_raise(PyLong_Type.tp_repr(v)));
    if (type) out += "')";
}

// A bare decimal number is read as a Float64, which keeps 15 digits whatever the value: a finite
// Decimal of more digits is written as the conversion of its digits to the narrowest Decimal type
// of its precision and scale (up to 76 digits, as the engine's widest Decimal holds), so it keeps
// every digit wherever it is used. One of 15 digits or fewer stays bare: a Float64 gives it back
// exactly, and old servers (18.16) insert a typed Decimal only into a column of its very width.
// Beyond 76 digits no type holds it, and it stays bare too.
void append_decimal(std::string& out, nb::handle value) {
    const std::string text = utf8(steal_or_raise(PyObject_Format(value.ptr(), nb::str("f").ptr())));
    const size_t start = !text.empty() && text[0] == '-';
    const size_t point = text.find('.');
    const size_t whole_end = point == std::string::npos ? text.size() : point;
    const size_t scale = point == std::string::npos ? 0 : text.size() - point - 1;
    size_t first = start;
    while (first < whole_end && text[first] == '0')
        ++first;
    bool digits = whole_end > start;
    for (size_t i = start; i < text.size(); ++i)
        if (i != point && (text[i] < '0' || text[i] > '9')) digits = false;
    // A subclass's __format__ may write anything; only digits can go inside the quotes.
    if (!digits)
        raise(PyExc_TypeError, "format(Decimal, 'f') returned " + text + ", not a decimal number");
    const size_t precision = std::max<size_t>(whole_end - first + scale, 1);
    if (precision <= 15 || precision > 76) {
        out += utf8(steal_or_raise(PyObject_Str(value.ptr())));
        return;
    }
    out += precision <= 9    ? "toDecimal32('"
           : precision <= 18 ? "toDecimal64('"
           : precision <= 38 ? "toDecimal128('"
                             : "toDecimal256('";
    out += text;
    out += "', ";
    out += std::to_string(scale);
    out += ')';
}

template <typename Items> void append_items(std::string& out, Items items, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) out += ", ";
        append_literal(out, items[i]);
    }
}

} // namespace

void append_literal(std::string& out, nb::handle value) {
    PyObject* v = value.ptr();
    if (v == Py_None) {
        out += "NULL";
    } else if (PyBool_Check(v)) {
        out += v == Py_True ? '1' : '0';
    } else if (PyLong_Check(v)) {
        append_int(out, v);
    } else if (PyFloat_Check(v)) {
        append_float(out, PyFloat_AS_DOUBLE(v));
    } else if (PyUnicode_Check(v)) {
        append_clickhouse_string_literal(out, utf8(value));
    } else if (PyBytes_Check(v) || PyByteArray_Check(v)) {
        char* data = PyBytes_Check(v) ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
        Py_ssize_t size = PyBytes_Check(v) ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v);
        append_clickhouse_bytes_literal(out, {data, static_cast<size_t>(size)});
    } else if (append_temporal_literal(out, value) || append_uuid_literal(out, value)) {
    } else if (is_decimal(value)) {
        if (!is_true(value.attr("is_finite")())) {
            append_float(out, PyFloat_AsDouble(steal_or_raise(PyNumber_Float(v)).ptr()));
        } else {
            append_decimal(out, value);
        }
    } else if (is_quoted_as_text(value)) {
        append_clickhouse_string_literal(out, utf8(steal_or_raise(PyObject_Str(v))));
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
        RecursionGuard depth(" while binding a parameter");
        // Items are read from a snapshot, so a list changed while binding cannot be cut short.
        nb::object items = steal_or_raise(PySequence_Tuple(v));
        const Py_ssize_t count = PyTuple_GET_SIZE(items.ptr());
        // One item in parentheses is that item, not a tuple: a tuple of one is written tuple(x).
        out += PyList_Check(v) ? "[" : count == 1 ? "tuple(" : "(";
        append_items(out, &PyTuple_GET_ITEM(items.ptr(), 0), count);
        out += PyList_Check(v) ? ']' : ')';
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
            append_literal(out, PyTuple_GET_ITEM(pair, 0));
            out += ", ";
            append_literal(out, PyTuple_GET_ITEM(pair, 1));
        }
        out += ')';
    } else if (is_enum(value)) {
        // Members of int and str enums are ints and strs already; any other binds its value.
        RecursionGuard depth(" while binding a parameter");
        append_literal(out, value.attr("value"));
    } else {
        raise(PyExc_TypeError,
              "a value of type " + python_type_name(value) + " has no ClickHouse literal");
    }
}

nb::object bind(nb::handle query, nb::handle params) {
    if (params.is_none()) return nb::borrow(query);
    const std::string text = utf8(query);
    std::string out;
    out.reserve(text.size() + 64);
    size_t at = 0;
    while (true) {
        size_t percent = text.find('%', at);
        out.append(text, at, percent == std::string::npos ? std::string::npos : percent - at);
        if (percent == std::string::npos) break;
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
        size_t close = text.find(')', percent + 2);
        if (close == std::string::npos) raise(PyExc_ValueError, "incomplete format key");
        if (close + 1 >= text.size() || text[close + 1] != 's')
            raise(PyExc_ValueError, "only %(name)s placeholders are supported");
        nb::str name = to_str(std::string_view(text).substr(percent + 2, close - percent - 2));
        nb::object value = steal_or_raise(PyObject_GetItem(params.ptr(), name.ptr()));
        try {
            append_literal(out, value);
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
