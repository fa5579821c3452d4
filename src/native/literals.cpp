// Text of values and SQL literals: every value that reaches SQL text goes through one of these.
#include "native/literals.hpp"

#include "native/errors.hpp"

namespace kelvora {

std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) raise_pending();
    return {data, static_cast<size_t>(size)};
}

void append_format(std::string& out, nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
        out += utf8(value);
        return;
    }
    nb::object text = steal_or_raise(PyObject_Format(value.ptr(), nullptr));
    out += utf8(text);
}

std::string py_format(nb::handle value) {
    std::string out;
    append_format(out, value);
    return out;
}

std::string clickhouse_string_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    out += '\'';
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

nb::str to_str(std::string_view text) {
    return nb::steal<nb::str>(steal_or_raise(PyUnicode_FromStringAndSize(
                                                 text.data(), static_cast<Py_ssize_t>(text.size())))
                                  .release());
}

} // namespace kelvora
