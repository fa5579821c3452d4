// DuckDbBackend: the read-only backend over tables kept by the host's DuckDB cache manager.
#include "backends/operations.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <cmath>
#include <string>

namespace kelvora::backends {

namespace {

using namespace nb::literals;

constexpr const char* class_doc = R"(
    DuckDB cache storage backend adapter.

    Uses DuckDbCacheManager for low-level operations.
    Implements the StorageBackend protocol to work with generic CRUD API.

    Note: DuckDB cache is typically read-only. Write operations (create/update/delete)
    will raise NotImplementedError. Use cache.store() to populate data instead.

    Example:
        cache = DuckDbCacheManager()
        cache.store(database="analytics", table="events", df=events_df)
        backend = DuckDbBackend(cache, database="analytics")
    )";

constexpr const char* init_doc = R"(
        Args:
            cache_manager: DuckDbCacheManager instance
            database: Database name in cache (e.g., "analytics")
            primary_key: Name of primary key column
        )";

constexpr const char* query_doc = R"(Query DuckDB cache with SQL WHERE.)";
constexpr const char* create_doc = R"(
        Create is not supported for DuckDB cache (read-only).

        Cache is populated via cache.store() with full DataFrame.
        )";
constexpr const char* update_doc = R"(Update not supported for DuckDB cache (read-only).)";
constexpr const char* delete_doc = R"(Delete not supported for DuckDB cache (read-only).)";
constexpr const char* get_by_id_doc = R"(Get single record by ID.)";
constexpr const char* get_info_doc = R"(Get DuckDB cache table metadata.)";

nb::object init(nb::handle, Arguments& a) {
    a[0].attr(KELVORA_NAME("cache")) = a[1];
    a[0].attr(KELVORA_NAME("database")) = a[2];
    a[0].attr(KELVORA_NAME("primary_key")) = a[3];
    return nb::none();
}

/// The literal a filter value is compared with. Text and other non-numeric values become one
/// standard SQL string literal each, so no value can end its literal or change the condition;
/// numbers are written bare in the number type's own spelling, whatever a subclass's `__str__`
/// says; a non-finite float is quoted, as DuckDB reads 'nan' and 'inf' only as text.
std::string condition_value(nb::handle value) {
    PyObject* v = value.ptr();
    if (PyBool_Check(v)) return v == Py_True ? "True" : "False";
    if (PyLong_Check(v)) return utf8(steal_or_raise(PyLong_Type.tp_repr(v)));
    if (PyFloat_Check(v)) {
        std::string text(utf8(steal_or_raise(PyFloat_Type.tp_repr(v))));
        return std::isfinite(PyFloat_AS_DOUBLE(v)) ? text : sql_string_literal(text);
    }
    return sql_string_literal(py_format(value));
}

bool positive(nb::handle number) {
    int result = PyObject_RichCompareBool(number.ptr(), nb::int_(0).ptr(), Py_GT);
    if (result < 0) raise_pending();
    return result;
}

nb::object query(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], filters = a[2], limit = a[3], offset = a[4];
    std::string where;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(filters.ptr(), &position, &key, &value)) {
        nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
        if (!where.empty()) where += " AND ";
        append_format(where, key);
        where += value == Py_None ? " IS NULL" : " = " + condition_value(value);
    }
    nb::object sql_where = where.empty() ? nb::none() : nb::object(to_str(where));
    nb::object wanted = steal_or_raise(PyNumber_Add(limit.ptr(), offset.ptr()));
    nb::object frame = self.attr(KELVORA_NAME("cache"))
                           .attr(KELVORA_NAME("query"))(
                               "database"_a = self.attr(KELVORA_NAME("database")),
                               "table"_a = table, "sql_where"_a = sql_where, "limit"_a = wanted);
    if (positive(offset))
        frame = frame.attr(KELVORA_NAME("iloc"))[nb::slice(offset, nb::none(), nb::none())];
    if (positive(limit)) frame = frame.attr(KELVORA_NAME("head"))(limit);
    return frame.attr(KELVORA_NAME("to_dict"))("records");
}

[[noreturn]] nb::object refuse(const char* text) {
    raise(PyExc_NotImplementedError, text);
}

nb::object create(nb::handle, Arguments&) {
    refuse("DuckDB cache is typically read-only. Use cache.store() to populate data.");
}
nb::object update(nb::handle, Arguments&) {
    refuse("DuckDB cache is typically read-only. Use cache.store() to refresh data.");
}
nb::object delete_(nb::handle, Arguments&) {
    refuse("DuckDB cache is typically read-only. Use cache.invalidate() to remove data.");
}

nb::object get_by_id(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1], id_value = a[2];
    nb::dict filters;
    filters[self.attr(KELVORA_NAME("primary_key"))] = id_value;
    nb::object results =
        self.attr(KELVORA_NAME("query"))(table, filters, "limit"_a = 1, "offset"_a = 0);
    if (!is_true(results))
        raise(PyExc_ValueError, "Record with " + py_format(self.attr(KELVORA_NAME("primary_key"))) +
                                    "=" + py_format(id_value) + " not found in cache");
    return item(results, 0);
}

nb::object get_info(nb::handle, Arguments& a) {
    nb::handle self = a[0], table = a[1];
    nb::object info =
        self.attr(KELVORA_NAME("cache"))
            .attr(KELVORA_NAME("get_table_info"))(
                "database"_a = self.attr(KELVORA_NAME("database")), "table"_a = table);
    nb::object last_updated =
        self.attr(KELVORA_NAME("cache"))
            .attr(KELVORA_NAME("get_last_updated"))(
                "database"_a = self.attr(KELVORA_NAME("database")), "table"_a = table);
    nb::dict result = unpack_mapping(info);
    result[KELVORA_NAME("database")] = self.attr(KELVORA_NAME("database"));
    result[KELVORA_NAME("last_updated")] =
        is_true(last_updated) ? last_updated.attr(KELVORA_NAME("isoformat"))() : nb::none();
    result[KELVORA_NAME("exists")] =
        self.attr(KELVORA_NAME("cache"))
            .attr(KELVORA_NAME("exists"))("database"_a = self.attr(KELVORA_NAME("database")),
                                          "table"_a = table);
    result[KELVORA_NAME("backend")] = "duckdb";
    result[KELVORA_NAME("primary_key")] = self.attr(KELVORA_NAME("primary_key"));
    result[KELVORA_NAME("read_only")] = true;
    return result;
}

} // namespace

nb::object make_duckdb_backend() {
    const char* name = "DuckDbBackend";
    Members members{{"__init__", method(name, "__init__", init_doc,
                                        {{"self"},
                                         {"cache_manager"},
                                         {"database", "str", Check::ExactStr},
                                         {"primary_key", "str", Check::ExactStr}},
                                        init, nullptr, Check::None, nb::make_tuple("id"))}};
    Operations operations{name,       query,         create,      update,     delete_,
                          get_by_id,  get_info,      query_doc,   create_doc, update_doc,
                          delete_doc, get_by_id_doc, get_info_doc};
    for (auto& member : operation_methods(operations))
        members.push_back(std::move(member));
    return make_plain_class(module_name, name, class_doc, members);
}

} // namespace kelvora::backends
