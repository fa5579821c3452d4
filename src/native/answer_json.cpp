// The JSON FastAPI writes for an answer, written natively: as `json.dumps` writes what
// `jsonable_encoder` hands back, and as Pydantic writes a value typed `Any`.
#include "native/answer_json.hpp"

#include "native/names.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kelvora {

namespace {
/// Deeper data goes FastAPI's own way, which fails as it always did on a cycle.
constexpr int deepest = 100;

/// Text as both json.dumps(ensure_ascii=False) and Pydantic write it: `"`, `\\` and the
/// control characters escaped, everything else as its UTF-8.
bool write_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        // Text that UTF-8 cannot hold (a lone surrogate): FastAPI's own way fails on it too.
        PyErr_Clear();
        return false;
    }
    out += '"';
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return true;
}

/// A dict, or a subclass of one that jsonable_encoder reads as one: through dict's own `keys`
/// and `items` (a store's configuration that remembers its revision, say).
bool plain_mapping(PyObject* value) {
    if (PyDict_CheckExact(value)) return true;
    if (!PyDict_Check(value)) return false;
    for (nb::handle name : {KELVORA_NAME("keys"), KELVORA_NAME("items")}) {
        nb::object own = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)).attr(name);
        nb::object its = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value))).attr(name);
        if (!own.is(its)) return false;
    }
    return true;
}

// --- Plain JSON, as json.dumps(ensure_ascii=False, allow_nan=False, separators=(",", ":"))
// writes it ---------------------------------------------------------------------------------

bool write_plain(PyObject* value, std::string& out, int depth) {
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True) {
        out += "true";
    } else if (value == Py_False) {
        out += "false";
    } else if (PyUnicode_CheckExact(value)) {
        return write_text(value, out);
    } else if (PyLong_CheckExact(value)) {
        PyObject* digits = PyObject_Repr(value);
        if (!digits) {
            PyErr_Clear(); // more digits than the interpreter converts
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(digits, &size);
        out.append(data, static_cast<size_t>(size));
        Py_DECREF(digits);
    } else if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number)) return false;
        char* digits = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!digits) {
            PyErr_Clear();
            return false;
        }
        out += digits;
        PyMem_Free(digits);
    } else if (depth >= deepest) {
        return false;
    } else if (PyList_CheckExact(value)) {
        out += '[';
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if (i) out += ',';
            if (!write_plain(PyList_GET_ITEM(value, i), out, depth + 1)) return false;
        }
        out += ']';
    } else if (plain_mapping(value)) {
        out += '{';
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(value, &position, &key, &item)) {
            // jsonable_encoder leaves out keys starting with "_sa" (SQLAlchemy's state).
            if (!PyUnicode_CheckExact(key) ||
                PyUnicode_Tailmatch(key, KELVORA_NAME("_sa").ptr(), 0, PY_SSIZE_T_MAX, -1) != 0)
                return false;
            if (!first) out += ',';
            first = false;
            if (!write_text(key, out)) return false;
            out += ':';
            if (!write_plain(item, out, depth + 1)) return false;
        }
        out += '}';
    } else {
        return false;
    }
    return true;
}

// --- Any, as Pydantic writes it -------------------------------------------------------------

/// A float as Pydantic writes it: Python's shortest digits, in Python's layout but for small
/// numbers: 1e-05 as 0.00001, and 1e-06 as 1e-6 (no zero before an exponent's digits).
void write_float(double number, std::string& out) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    char* repr = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!repr) throw nb::python_error();
    std::string text(repr);
    PyMem_Free(repr);
    const size_t e = text.find("e-");
    if (e == std::string::npos) {
        out += text;
        return;
    }
    const int exponent = std::atoi(text.c_str() + e + 2);
    if (exponent != 5) {
        out.append(text, 0, e + 2);
        out += std::to_string(exponent);
        return;
    }
    // d.ddde-05: 0.0000dddd
    const bool negative = text[0] == '-';
    if (negative) out += '-';
    out += "0.0000";
    for (size_t i = negative ? 1 : 0; i < e; ++i)
        if (text[i] != '.') out += text[i];
}

void write_digits(std::string& out, int number, int width) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*d", width, number);
    out += digits;
}

void write_date(PyObject* value, std::string& out) {
    write_digits(out, PyDateTime_GET_YEAR(value), 4);
    out += '-';
    write_digits(out, PyDateTime_GET_MONTH(value), 2);
    out += '-';
    write_digits(out, PyDateTime_GET_DAY(value), 2);
}

/// YYYY-MM-DDTHH:MM:SS, the microseconds when there are any, then the offset: Z for none,
/// else its hours and minutes (the seconds of an offset are left out, as Pydantic does).
bool write_datetime(PyObject* value, std::string& out) {
    out += '"';
    write_date(value, out);
    out += 'T';
    write_digits(out, PyDateTime_DATE_GET_HOUR(value), 2);
    out += ':';
    write_digits(out, PyDateTime_DATE_GET_MINUTE(value), 2);
    out += ':';
    write_digits(out, PyDateTime_DATE_GET_SECOND(value), 2);
    if (int micro = PyDateTime_DATE_GET_MICROSECOND(value)) {
        out += '.';
        write_digits(out, micro, 6);
    }
    if (PyDateTime_DATE_GET_TZINFO(value) != Py_None) {
        nb::object offset = nb::steal(PyObject_CallMethod(value, "utcoffset", nullptr));
        if (!offset.is_valid()) throw nb::python_error();
        if (!PyDelta_CheckExact(offset.ptr())) return false;
        const long seconds = PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400L +
                             PyDateTime_DELTA_GET_SECONDS(offset.ptr());
        if (seconds == 0 && PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr()) == 0) {
            out += 'Z';
        } else {
            const bool behind = seconds < 0;
            const long magnitude = behind ? -seconds : seconds;
            out += behind ? '-' : '+';
            write_digits(out, static_cast<int>(magnitude / 3600), 2);
            out += ':';
            write_digits(out, static_cast<int>(magnitude % 3600 / 60), 2);
        }
    }
    out += '"';
    return true;
}

/// The types Pydantic writes as their `str()`.
bool written_as_text(PyObject* value) {
    // Kept for the life of the process, as a module's import would keep them.
    static PyObject* decimal =
        nb::object(nb::module_::import_("decimal").attr("Decimal")).release().ptr();
    static PyObject* uuid = nb::object(nb::module_::import_("uuid").attr("UUID")).release().ptr();
    return Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(decimal) ||
           Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(uuid);
}

bool write_any(PyObject* value, std::string& out, int depth) {
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True) {
        out += "true";
    } else if (value == Py_False) {
        out += "false";
    } else if (PyUnicode_CheckExact(value)) {
        return write_text(value, out);
    } else if (PyLong_CheckExact(value)) {
        return write_plain(value, out, depth);
    } else if (PyFloat_CheckExact(value)) {
        write_float(PyFloat_AS_DOUBLE(value), out);
    } else if (PyDateTime_CheckExact(value)) {
        return write_datetime(value, out);
    } else if (PyDate_CheckExact(value)) {
        out += '"';
        write_date(value, out);
        out += '"';
    } else if (written_as_text(value)) {
        nb::object text = nb::steal(PyObject_Str(value));
        if (!text.is_valid()) throw nb::python_error();
        return write_text(text.ptr(), out);
    } else if (depth >= deepest) {
        return false;
    } else if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        PyObject** items = PySequence_Fast_ITEMS(value);
        out += '[';
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i) out += ',';
            if (!write_any(items[i], out, depth + 1)) return false;
        }
        out += ']';
    } else if (PyDict_CheckExact(value)) {
        out += '{';
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!first) out += ',';
            first = false;
            if (!write_text(key, out)) return false;
            out += ':';
            if (!write_any(item, out, depth + 1)) return false;
        }
        out += '}';
    } else {
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string> plain_json(nb::handle value) {
    std::string out;
    if (!write_plain(value.ptr(), out, 0)) return std::nullopt;
    return out;
}

bool append_any_json(nb::handle value, std::string& out) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nb::python_error();
    }
    return write_any(value.ptr(), out, 0);
}

} // namespace kelvora
