// The JSON FastAPI writes for an answer, written natively: as `json.dumps` writes what
// `jsonable_encoder` hands back, and as Pydantic writes a value typed `Any`.
#include "native/answer_json.hpp"

#include "native/names.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>

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
    const char* run = data;
    const char* end = data + size;
    for (const char* at = data; at < end; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(run, at);
        run = at + 1;
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
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        }
    }
    out.append(run, end);
    out += '"';
    return true;
}

/// An int's decimal digits; one too large for 64 bits is written by the interpreter, which
/// refuses more digits than it converts.
bool write_int(PyObject* value, std::string& out) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
        return true;
    }
    PyObject* text = PyObject_Repr(value);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    out.append(data, static_cast<size_t>(size));
    Py_DECREF(text);
    return true;
}

/// A finite float as Python's repr writes it, or with Pydantic's layout of small numbers:
/// both take the shortest digits that read back as the same float, and write them in fixed
/// notation from 1e-4 (1e-5 for Pydantic) up to 1e16, else as d.ddde+XX (e-XX, zero-padded to
/// two digits by Python only).
void write_finite_float(double number, std::string& out, bool pydantic_layout) {
    char buffer[32];
    const char* end =
        std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::scientific).ptr;
    // buffer: [-]d[.ddd]e(+|-)XX
    const char* mark = std::find(static_cast<const char*>(buffer), end, 'e');
    const char* first = buffer[0] == '-' ? buffer + 1 : buffer;
    if (first != buffer) out += '-';
    char digits[24];
    size_t count = 0;
    for (const char* at = first; at < mark; ++at)
        if (*at != '.') digits[count++] = *at;
    int exponent = 0;
    std::from_chars(mark + (mark[1] == '+' ? 2 : 1), end, exponent);
    const int lowest_fixed = pydantic_layout ? -5 : -4;
    if (exponent >= lowest_fixed && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out.append(digits, count);
        } else if (static_cast<size_t>(exponent) + 1 >= count) {
            out.append(digits, count);
            out.append(static_cast<size_t>(exponent) + 1 - count, '0');
            out += ".0";
        } else {
            out.append(digits, static_cast<size_t>(exponent) + 1);
            out += '.';
            out.append(digits + exponent + 1, count - static_cast<size_t>(exponent) - 1);
        }
        return;
    }
    out += digits[0];
    if (count > 1) {
        out += '.';
        out.append(digits + 1, count - 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10 && !(pydantic_layout && exponent < 0)) out += '0';
    char exponent_digits[8];
    out.append(
        exponent_digits,
        std::to_chars(exponent_digits, exponent_digits + sizeof exponent_digits, magnitude).ptr);
}

// --- Plain JSON, as json.dumps(ensure_ascii=False, allow_nan=False, separators=(",", ":"))
// writes it ---------------------------------------------------------------------------------

enum class Written { Yes, Declined, NotCommon };

/// None, bools, text and ints, which both writers write alike.
Written write_common(PyObject* value, std::string& out) {
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True) {
        out += "true";
    } else if (value == Py_False) {
        out += "false";
    } else if (PyUnicode_CheckExact(value)) {
        return write_text(value, out) ? Written::Yes : Written::Declined;
    } else if (PyLong_CheckExact(value)) {
        return write_int(value, out) ? Written::Yes : Written::Declined;
    } else {
        return Written::NotCommon;
    }
    return Written::Yes;
}

/// `[item,...]`, each written by `write_item`.
template <typename WriteItem>
bool write_array(PyObject* const* items, Py_ssize_t size, std::string& out, WriteItem write_item) {
    out += '[';
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i) out += ',';
        if (!write_item(items[i])) return false;
    }
    out += ']';
    return true;
}

/// `{"key":item,...}` of a dict whose keys are all text that `takes_key` takes.
template <typename TakesKey, typename WriteItem>
bool write_object(PyObject* dict, std::string& out, TakesKey takes_key, WriteItem write_item) {
    out += '{';
    Py_ssize_t position = 0;
    PyObject *key, *item;
    bool first = true;
    while (PyDict_Next(dict, &position, &key, &item)) {
        if (!PyUnicode_CheckExact(key) || !takes_key(key)) return false;
        if (!first) out += ',';
        first = false;
        if (!write_text(key, out)) return false;
        out += ':';
        if (!write_item(item)) return false;
    }
    out += '}';
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

bool write_plain(PyObject* value, std::string& out, int depth) {
    if (Written common = write_common(value, out); common != Written::NotCommon)
        return common == Written::Yes;
    auto write_item = [&](PyObject* item) { return write_plain(item, out, depth + 1); };
    if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(number)) return false;
        write_finite_float(number, out, false);
        return true;
    }
    if (depth >= deepest) return false;
    if (PyList_CheckExact(value))
        return write_array(PySequence_Fast_ITEMS(value), PyList_GET_SIZE(value), out, write_item);
    if (plain_mapping(value))
        // jsonable_encoder leaves out keys starting with "_sa" (SQLAlchemy's state).
        return write_object(
            value, out,
            [](PyObject* key) {
                return PyUnicode_Tailmatch(key, KELVORA_NAME("_sa").ptr(), 0, PY_SSIZE_T_MAX, -1) ==
                       0;
            },
            write_item);
    return false;
}

// --- Any, as Pydantic writes it -------------------------------------------------------------

/// `number` (0 to 9999) in `width` digits, zero-padded.
void write_digits(std::string& out, int number, int width) {
    char digits[4];
    for (int i = width - 1; i >= 0; --i, number /= 10)
        digits[i] = static_cast<char>('0' + number % 10);
    out.append(digits, static_cast<size_t>(width));
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
        write_digits(out, micro / 1000, 3);
        write_digits(out, micro % 1000, 3);
    }
    if (PyDateTime_DATE_GET_TZINFO(value) != Py_None) {
        nb::object offset = nb::steal(PyObject_CallMethod(value, "utcoffset", nullptr));
        if (!offset.is_valid()) {
            // A zone that fails here fails FastAPI's own way too, which answers as it always did.
            PyErr_Clear();
            return false;
        }
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
    if (Written common = write_common(value, out); common != Written::NotCommon)
        return common == Written::Yes;
    auto write_item = [&](PyObject* item) { return write_any(item, out, depth + 1); };
    if (PyFloat_CheckExact(value)) {
        // Pydantic writes a float that is not finite as null.
        const double number = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(number))
            write_finite_float(number, out, true);
        else
            out += "null";
        return true;
    }
    if (PyDateTime_CheckExact(value)) return write_datetime(value, out);
    if (PyDate_CheckExact(value)) {
        out += '"';
        write_date(value, out);
        out += '"';
        return true;
    }
    if (written_as_text(value)) {
        nb::object text = nb::steal(PyObject_Str(value));
        if (!text.is_valid()) throw nb::python_error();
        return write_text(text.ptr(), out);
    }
    if (depth >= deepest) return false;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value))
        return write_array(PySequence_Fast_ITEMS(value), PySequence_Fast_GET_SIZE(value), out,
                           write_item);
    if (PyDict_CheckExact(value))
        return write_object(value, out, [](PyObject*) { return true; }, write_item);
    return false;
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
