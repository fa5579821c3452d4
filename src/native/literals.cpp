// Text of values and SQL literals: every value that reaches SQL text goes through one of these.
#include "native/literals.hpp"

#include "native/errors.hpp"
#include "native/guards.hpp"

#include <array>

namespace kelvora {

Utf8Text::Utf8Text(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        view_ = {data, static_cast<size_t>(size)};
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_pending();
    PyErr_Clear();
    encoded_ = steal_or_raise(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    view_ = {PyBytes_AS_STRING(encoded_.ptr()),
             static_cast<size_t>(PyBytes_GET_SIZE(encoded_.ptr()))};
}

void append_utf8(std::string& out, nb::handle text) {
    out += Utf8Text(text).view();
}

std::string_view bytes_view(nb::handle bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) < 0) raise_pending();
    return {data, static_cast<size_t>(size)};
}

std::string utf8(nb::handle text) {
    std::string out;
    append_utf8(out, text);
    return out;
}

void append_format(std::string& out, nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
        append_utf8(out, value);
        return;
    }
    nb::object text = steal_or_raise(PyObject_Format(value.ptr(), nullptr));
    append_utf8(out, text);
}

std::string py_format(nb::handle value) {
    std::string out;
    append_format(out, value);
    return out;
}

namespace {

/// The escapes of the characters that may not appear as themselves inside a quoted literal.
constexpr const char* clickhouse_escape(unsigned char c) {
    switch (c) {
    case '\\':
        return "\\\\";
    case '\'':
        return "\\'";
    case '\b':
        return "\\b";
    case '\f':
        return "\\f";
    case '\r':
        return "\\r";
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    case '\0':
        return "\\0";
    case '\a':
        return "\\a";
    case '\v':
        return "\\v";
    default:
        return nullptr;
    }
}

/// What each byte becomes inside a quoted literal: its escape, or null where it stands as itself.
/// A table, so text is copied in runs between the few bytes that need an escape.
constexpr std::array<const char*, 256> escape_table() {
    std::array<const char*, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = clickhouse_escape(static_cast<unsigned char>(c));
    return table;
}

constexpr auto escapes = escape_table();

} // namespace

void append_clickhouse_string_literal(std::string& out, std::string_view text, LiteralUse use) {
    out.reserve(out.size() + text.size() + 2);
    out += '\'';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* escape = escapes[static_cast<unsigned char>(text[i])];
        if (!escape) {
            if (text[i] != '%' || use != LiteralUse::Template) continue;
            escape = "\\x25";
        }
        out.append(text, run, i - run);
        out += escape;
        run = i + 1;
    }
    out.append(text, run);
    out += '\'';
}

void append_clickhouse_bytes_literal(std::string& out, std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    out.reserve(out.size() + bytes.size() + 2);
    out += '\'';
    size_t run = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const char* escape = escapes[byte];
        // Raw bytes keep printable ASCII only; the rest is written \xHH.
        if (!escape && byte >= 0x20 && byte < 0x7f) continue;
        out.append(bytes, run, i - run);
        if (escape) {
            out += escape;
        } else {
            const char spelled[] = {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
            out.append(spelled, sizeof spelled);
        }
        run = i + 1;
    }
    out.append(bytes, run);
    out += '\'';
}

std::string clickhouse_string_literal(std::string_view text, LiteralUse use) {
    std::string out;
    out.reserve(text.size() + 2);
    append_clickhouse_string_literal(out, text, use);
    return out;
}

std::string sql_string_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

namespace {

/// Whether a `str` has a UTF-8 form: whether it holds no surrogate code point. Read in place,
/// without making the UTF-8 copy.
bool encodable(nb::handle text) {
    PyObject* t = text.ptr();
    const int kind = PyUnicode_KIND(t);
    if (kind == PyUnicode_1BYTE_KIND) return true;
    const void* data = PyUnicode_DATA(t);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(t); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return false;
    }
    return true;
}

/// A dict key as a path segment: its text, or its `ascii()` form when it has no UTF-8 form or is
/// not text.
std::string segment(nb::handle key) {
    if (PyUnicode_Check(key.ptr()) && encodable(key)) return utf8(key);
    return utf8(steal_or_raise(PyObject_ASCII(key.ptr())));
}

// Reading text runs no Python code, so the containers are walked in place; building a path (only
// once something is found) is the one step that may.
std::optional<std::string> find_text_without_utf8(nb::handle value, const std::string& path) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
        if (encodable(value)) return std::nullopt;
        return path.empty() ? std::string("the value") : path;
    }
    if (PyDict_Check(v)) {
        RecursionGuard depth(" while checking text");
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(v, &position, &key, &item)) {
            const bool bad_key = PyUnicode_Check(key) && !encodable(key);
            if (!bad_key && !PyUnicode_Check(item) && !PyDict_Check(item) && !PyList_Check(item) &&
                !PyTuple_Check(item))
                continue;
            if (!bad_key && PyUnicode_Check(item) && encodable(item)) continue;
            nb::object held_key = nb::borrow(key), held_item = nb::borrow(item);
            std::string at = (path.empty() ? "" : path + ".") + segment(held_key);
            if (bad_key) return at;
            if (auto found = find_text_without_utf8(held_item, at)) return found;
        }
        return std::nullopt;
    }
    if (PyList_Check(v) || PyTuple_Check(v)) {
        RecursionGuard depth(" while checking text");
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(v, i));
            if (PyUnicode_Check(item.ptr()) && encodable(item)) continue;
            if (auto found = find_text_without_utf8(item, path + "[" + std::to_string(i) + "]"))
                return found;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> text_without_utf8(nb::handle value) {
    return find_text_without_utf8(value, "");
}

nb::str to_str(std::string_view text) {
    PyObject* result =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    return nb::steal<nb::str>(steal_or_raise(result).release());
}

} // namespace kelvora
