// The six record operations every storage backend offers: their parameters and how a class
// assembles them.
#include "backends/operations.hpp"

#include <string>

namespace kelvora::backends {

namespace {
const Parameter self{"self"};
const Parameter table{"table", "str", Check::ExactStr};
const Parameter filters{"filters", "Dict[str, Any]", Check::ExactDict};
const Parameter limit{"limit", "int", Check::Integer};
const Parameter offset{"offset", "int", Check::Integer};
const Parameter data{"data", "Dict[str, Any]", Check::ExactDict};
const Parameter id_value{"id_value", "Any"};
} // namespace

std::vector<Parameter> query_parameters() {
    return {self, table, filters, limit, offset};
}
std::vector<Parameter> create_parameters() {
    return {self, table, data};
}
std::vector<Parameter> update_parameters() {
    return {self, table, id_value, data};
}
std::vector<Parameter> delete_parameters() {
    return {self, table, id_value};
}
std::vector<Parameter> get_by_id_parameters() {
    return {self, table, id_value};
}
std::vector<Parameter> get_info_parameters() {
    return {self, table};
}

nb::object method(const char* class_name, const char* name, const char* doc,
                  std::vector<Parameter> parameters, Body body, const char* returns,
                  Check return_check, nb::handle defaults) {
    std::string qualname = std::string(class_name) + "." + name;
    FunctionSpec spec{.name = name,
                      .qualname = qualname.c_str(),
                      .module = module_name,
                      .doc = doc,
                      .parameters = std::move(parameters),
                      .return_annotation = returns,
                      .return_check = return_check,
                      .body = body};
    return make_function(spec, nb::none(), defaults);
}

Members operation_methods(const Operations& o) {
    const char* c = o.class_name;
    return {
        {"query", method(c, "query", o.query_doc, query_parameters(), o.query, "List[Dict]",
                         Check::ListOrNone)},
        {"create", method(c, "create", o.create_doc, create_parameters(), o.create, "Dict",
                          Check::DictOrNone)},
        {"update", method(c, "update", o.update_doc, update_parameters(), o.update, "Dict",
                          Check::DictOrNone)},
        {"delete", method(c, "delete", o.delete_doc, delete_parameters(), o.delete_, "bool")},
        {"get_by_id", method(c, "get_by_id", o.get_by_id_doc, get_by_id_parameters(), o.get_by_id,
                             "Dict", Check::DictOrNone)},
        {"get_info", method(c, "get_info", o.get_info_doc, get_info_parameters(), o.get_info,
                            "Dict", Check::DictOrNone)},
    };
}

} // namespace kelvora::backends
