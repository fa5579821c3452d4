// The SQL texts of a CRUD router: table and column names inserted as they are, values as
// placeholders (the delete statement's key literals being the one exception).
#include "rowplane/statements.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

namespace kelvora::rowplane {

namespace {

// Each statement's lines start with the indentation runs it has always been sent with.
const std::string line12 = "\n" + std::string(12, ' ');
const std::string line16 = "\n" + std::string(16, ' ');
const std::string line20 = "\n" + std::string(20, ' ');

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

} // namespace

std::string key_condition(const std::vector<std::string>& pk_fields) {
    std::string condition;
    for (const std::string& name : pk_fields)
        condition += (condition.empty() ? "" : " AND ") + name + " = %(" + name + ")s";
    return condition;
}

std::string count_statement(const std::string& table, const std::string& where) {
    return "SELECT count() FROM " + table + " " + where;
}

std::string page_statement(const std::string& table, const std::string& where,
                           const std::string& order) {
    return line16 + "SELECT * FROM " + table + line16 + where + line16 + order + line16 +
           "LIMIT %(limit)s OFFSET %(offset)s" + line12;
}

std::string get_statement(const std::string& table, const std::string& condition,
                          const std::string& order) {
    return line16 + "SELECT * FROM " + table + line16 + "WHERE " + condition + line16 + order +
           line16 + "LIMIT 1" + line12;
}

std::string row_statement(const std::string& table, const std::string& condition) {
    return "SELECT * FROM " + table + " WHERE " + condition + " LIMIT 1";
}

std::string key_statement(const std::string& table, const std::vector<std::string>& pk_fields,
                          const std::string& condition) {
    return "SELECT " + joined(pk_fields) + " FROM " + table + " WHERE " + condition + " LIMIT 1";
}

std::string history_statement(const std::string& table, const std::string& condition,
                              const std::string& order) {
    return line20 + "SELECT * FROM " + table + line20 + "WHERE " + condition + line20 + order +
           line16;
}

std::string update_statement(const std::string& table, nb::handle data,
                             const std::string& condition) {
    std::string sets;
    nb::object iterator = steal_or_raise(PyObject_GetIter(data.ptr()));
    while (PyObject* key = PyIter_Next(iterator.ptr())) {
        nb::object held = nb::steal(key);
        std::string name = py_format(key);
        sets += (sets.empty() ? "" : ", ") + name + " = %(" + name + ")s";
    }
    if (PyErr_Occurred()) raise_pending();
    return line20 + "ALTER TABLE " + table + line20 + "UPDATE " + sets + line20 + "WHERE " +
           condition + line20;
}

std::string insert_statement(const std::string& table, nb::handle data) {
    nb::object fields = steal_or_raise(PySequence_List(data.ptr()));
    std::string placeholders;
    for (nb::handle field : fields)
        placeholders += (placeholders.empty() ? "%(" : ", %(") + py_format(field) + ")s";
    // str.join refuses a field name that is not a str, before any statement is sent.
    nb::object names = steal_or_raise(PyUnicode_Join(nb::str(", ").ptr(), fields.ptr()));
    return "INSERT INTO " + table + " (" + utf8(names) + ") VALUES (" + placeholders + ")";
}

std::string delete_statement(const std::string& table, const std::vector<std::string>& pk_fields,
                             const std::vector<nb::object>& pk_names, nb::handle pk_values) {
    std::string literals;
    for (size_t i = 0; i < pk_fields.size(); ++i) {
        nb::object value = steal_or_raise(PyObject_GetItem(pk_values.ptr(), pk_names[i].ptr()));
        literals += (i ? " AND " : "") + pk_fields[i] + " = ";
        // The statement still goes through the client's binding (with an empty parameter dict),
        // so the literals are written for a template.
        if (PyUnicode_Check(value.ptr()))
            literals += clickhouse_string_literal(utf8(value), LiteralUse::Template);
        else if (PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr()))
            literals += py_format(value);
        else
            literals += clickhouse_string_literal(py_format(value), LiteralUse::Template);
    }
    return "ALTER TABLE " + table + " DELETE WHERE " + literals;
}

} // namespace kelvora::rowplane
