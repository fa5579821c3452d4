// ClickHouseBackend: the read-write backend, SQL text run through the host's ClickHouse client.
#include "backends/operations.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>

namespace kelvora::backends {

namespace {

using namespace nb::literals;

constexpr const char* class_doc = R"(
    ClickHouse storage backend adapter.

    Uses ClickHouseClient for low-level operations.
    Implements the StorageBackend protocol to work with generic CRUD API.

    Example:
        client = ClickHouseClient(config)
        backend = ClickHouseBackend(client, primary_key="id")
        router = create_crud_router("events", backend)
    )";

constexpr const char* init_doc = R"(
        Args:
            client: ClickHouseClient instance
            primary_key: Name of primary key column
        )";

constexpr const char* query_doc = R"(Query ClickHouse table with SQL WHERE.)";
constexpr const char* create_doc = R"(Insert new record into ClickHouse.)";
constexpr const char* update_doc = R"(
        Update record in ClickHouse using ALTER TABLE UPDATE.

        Note: ClickHouse updates are eventually consistent and may take time to apply.
        For ReplacingMergeTree, consider inserting a new version instead.
        )";
constexpr const char* delete_doc = R"(
        Delete record from ClickHouse using ALTER TABLE DELETE.

        Note: ClickHouse deletes are eventually consistent and may take time to apply.
        )";
constexpr const char* get_by_id_doc = R"(Get single record by ID.)";
constexpr const char* get_info_doc = R"(Get ClickHouse table metadata.)";

/// `self.client.execute(*args)`; the client is read anew for every statement.
template <typename... Args> nb::object execute(nb::handle self, Args&&... args) {
    return self.attr(KELVORA_NAME("client"))
        .attr(KELVORA_NAME("execute"))(std::forward<Args>(args)...);
}

/// A one-line statement: a fixed text followed by the table name.
nb::object prefixed(nb::handle text, nb::handle table) {
    return steal_or_raise(PyUnicode_Concat(text.ptr(), table.ptr()));
}

std::string primary_key(nb::handle self) {
    return py_format(self.attr(KELVORA_NAME("primary_key")));
}

nb::object init(nb::handle, Arguments& a) {
    a[0].attr(KELVORA_NAME("client")) = a[1];
    a[0].attr(KELVORA_NAME("primary_key")) = a[2];
    return nb::none();
}

nb::object query(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], filters = a[2];
    std::string sql = "\n            SELECT * FROM ";
    append_format(sql, table);
    sql += "\n            ";
    nb::dict params;
    Py_ssize_t position = 0, index = 0;
    PyObject *key, *value;
    while (PyDict_Next(filters.ptr(), &position, &key, &value)) {
        nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
        std::string name = "p" + std::to_string(index++);
        sql += index == 1 ? "WHERE " : " AND ";
        append_format(sql, key);
        sql += " = %(" + name + ")s";
        params[name.c_str()] = held_value;
    }
    sql += "\n            ORDER BY " + primary_key(self);
    sql += "\n            LIMIT ";
    append_format(sql, a[3]);
    sql += " OFFSET ";
    append_format(sql, a[4]);
    sql += "\n        ";

    nb::object rows = execute(self, to_str(sql), params);
    nb::object describe = prefixed(KELVORA_NAME("DESCRIBE TABLE "), table);
    nb::object columns = selected_column_names(execute(self, describe));
    return records_from_rows(columns, rows);
}

nb::object create(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], data = a[2];
    // A tuple, so that no code run while formatting a name can change the names being read.
    nb::object keys = steal_or_raise(PyDict_Keys(data.ptr()));
    nb::tuple columns = nb::steal<nb::tuple>(steal_or_raise(PyList_AsTuple(keys.ptr())).release());
    std::string placeholders;
    for (nb::handle column : columns) {
        if (!placeholders.empty()) placeholders += ", ";
        placeholders += "%(" + py_format(column) + ")s";
    }
    // str.join refuses a key that is not a str, before any statement is sent.
    nb::object column_list = steal_or_raise(PyUnicode_Join(nb::str(", ").ptr(), columns.ptr()));
    std::string sql =
        "INSERT INTO " + utf8(table) + " (" + utf8(column_list) + ") VALUES (" + placeholders + ")";
    execute(self, to_str(sql), data);
    return nb::borrow(data);
}

/// The placeholder of the key value: "id_val", unless `data` has a column of that name, whose new
/// value must not be overwritten; then the first free "id_val_<n>".
std::string key_placeholder(nb::handle data) {
    std::string name = "id_val";
    for (int n = 1; PyDict_Contains(data.ptr(), to_str(name).ptr()) == 1; ++n)
        name = "id_val_" + std::to_string(n);
    if (PyErr_Occurred()) raise_pending();
    return name;
}

nb::object update(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], id_value = a[2], data = a[3];
    std::string sets;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(data.ptr(), &position, &key, &value)) {
        nb::object held = nb::borrow(key);
        std::string column = py_format(key);
        if (!sets.empty()) sets += ", ";
        sets += column + " = %(" + column + ")s";
    }
    std::string placeholder = key_placeholder(data);
    nb::dict params = nb::steal<nb::dict>(steal_or_raise(PyDict_Copy(data.ptr())).release());
    params[placeholder.c_str()] = id_value;
    std::string sql = "\n            ALTER TABLE " + utf8(table) + "\n            UPDATE " + sets +
                      "\n            WHERE " + primary_key(self) + " = %(" + placeholder +
                      ")s\n        ";
    execute(self, to_str(sql), params);

    nb::dict result = nb::steal<nb::dict>(steal_or_raise(PyDict_Copy(data.ptr())).release());
    result[self.attr(KELVORA_NAME("primary_key"))] = id_value;
    return result;
}

nb::object delete_(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], id_value = a[2];
    std::string sql =
        "ALTER TABLE " + utf8(table) + " DELETE WHERE " + primary_key(self) + " = %(id_val)s";
    nb::dict params;
    params[KELVORA_NAME("id_val")] = id_value;
    execute(self, to_str(sql), params);
    return nb::borrow(Py_True);
}

nb::object get_by_id(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], id_value = a[2];
    nb::dict filters;
    filters[self.attr(KELVORA_NAME("primary_key"))] = id_value;
    nb::object results =
        self.attr(KELVORA_NAME("query"))(table, filters, "limit"_a = 1, "offset"_a = 0);
    if (!is_true(results)) {
        raise(PyExc_ValueError,
              "Record with " + primary_key(self) + "=" + py_format(id_value) + " not found");
    }
    return item(results, 0);
}

nb::object first_of_first(nb::handle result, Py_ssize_t column) {
    return item(item(result, 0), column);
}

nb::object get_info(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1];
    nb::object count_result = execute(self, prefixed(KELVORA_NAME("SELECT count() FROM "), table));
    nb::object row_count =
        is_true(count_result) ? first_of_first(count_result, 0) : nb::object(nb::int_(0));
    nb::object desc_rows = execute(self, prefixed(KELVORA_NAME("DESCRIBE TABLE "), table));
    nb::list columns = column_names(desc_rows);
    nb::dict column_types;
    nb::object iterator = steal_or_raise(PyObject_GetIter(desc_rows.ptr()));
    while (PyObject* row = PyIter_Next(iterator.ptr())) {
        nb::object held = nb::steal(row);
        if (PyDict_SetItem(column_types.ptr(), item(row, 0).ptr(), item(row, 1).ptr()))
            raise_pending();
    }
    if (PyErr_Occurred()) raise_pending();

    nb::object engine = nb::borrow(KELVORA_NAME("Unknown")), engine_full = engine;
    try {
        // The table name is a string literal here, escaped like every other value in SQL text.
        std::string engine_query = "\n                SELECT engine, engine_full"
                                   "\n                FROM system.tables"
                                   "\n                WHERE name = " +
                                   clickhouse_string_literal(utf8(table)) +
                                   "\n                LIMIT 1\n            ";
        nb::object engine_result = execute(self, to_str(engine_query));
        if (is_true(engine_result)) {
            engine = first_of_first(engine_result, 0);
            engine_full = first_of_first(engine_result, 1);
        }
    } catch (nb::python_error& e) {
        if (!is_ordinary_exception(e)) throw;
        engine = engine_full = nb::borrow(KELVORA_NAME("Unknown"));
    }

    nb::object key_column = self.attr(KELVORA_NAME("primary_key"));
    nb::object info = steal_or_raise(_PyDict_NewPresized(8));
    const std::pair<nb::handle, nb::handle> entries[] = {
        {KELVORA_NAME("table_name"), table},
        {KELVORA_NAME("row_count"), row_count},
        {KELVORA_NAME("columns"), columns},
        {KELVORA_NAME("column_types"), column_types},
        {KELVORA_NAME("engine"), engine},
        {KELVORA_NAME("engine_full"), engine_full},
        {KELVORA_NAME("backend"), KELVORA_NAME("clickhouse")},
        {KELVORA_NAME("primary_key"), key_column},
    };
    for (const auto& [key, value] : entries)
        if (PyDict_SetItem(info.ptr(), key.ptr(), value.ptr())) raise_pending();
    return info;
}

} // namespace

nb::object make_clickhouse_backend() {
    const char* name = "ClickHouseBackend";
    Members members{
        {"__init__", method(name, "__init__", init_doc,
                            {{"self"}, {"client"}, {"primary_key", "str", Check::ExactStr}}, init,
                            nullptr, Check::None, nb::make_tuple("id"))}};
    Operations operations{name,       query,         create,      update,     delete_,
                          get_by_id,  get_info,      query_doc,   create_doc, update_doc,
                          delete_doc, get_by_id_doc, get_info_doc};
    for (auto& member : operation_methods(operations))
        members.push_back(std::move(member));
    return make_plain_class(module_name, name, class_doc, members);
}

} // namespace kelvora::backends
