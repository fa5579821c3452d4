// The six record operations every storage backend offers: their parameters and how a class
// assembles them.
#pragma once

#include "native/classes.hpp"
#include "native/function.hpp"

namespace kelvora::backends {

inline constexpr const char* module_name = "kelvora.backends";

/// The parameters of `query`, `create`, `update`, `delete`, `get_by_id`, `get_info`, with their
/// annotation texts and checks.
std::vector<Parameter> query_parameters();
std::vector<Parameter> create_parameters();
std::vector<Parameter> update_parameters();
std::vector<Parameter> delete_parameters();
std::vector<Parameter> get_by_id_parameters();
std::vector<Parameter> get_info_parameters();

/// Bodies and doc texts of one class's operations, in the order of definition.
struct Operations {
    const char* class_name;
    Body query, create, update, delete_, get_by_id, get_info;
    const char *query_doc, *create_doc, *update_doc, *delete_doc, *get_by_id_doc, *get_info_doc;
};

/// The six operations as methods of `class_name`, in their order of definition.
Members operation_methods(const Operations& operations);

/// A method of `class_name` in this module.
nb::object method(const char* class_name, const char* name, const char* doc,
                  std::vector<Parameter> parameters, Body body, const char* returns = nullptr,
                  Check return_check = Check::None, nb::handle defaults = nb::none());

nb::object make_storage_backend(nb::handle typing);
nb::object make_clickhouse_backend();
nb::object make_duckdb_backend();

} // namespace kelvora::backends
