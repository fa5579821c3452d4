// create_crud_router: checks its arguments, builds one router state and registers the handlers
// closed over it, in the documented order.
#include "rowplane/factory.hpp"

#include "rowplane/handlers.hpp"
#include "rowplane/route_parameters.hpp"
#include "rowplane/router.hpp"
#include "rowplane/statements.hpp"

#include "native/attributes.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/records.hpp"
#include "native/routes.hpp"
#include "native/state.hpp"

#include "native/literals.hpp"
#include "native/names.hpp"
#include <memory>

namespace kelvora::rowplane {

namespace {

using namespace nb::literals;

constexpr const char* factory_doc = R"(
    Create a generic CRUD router for any storage backend (ClickHouse, DuckDB, etc.).

    Args:
        table_name: Name of the table
        backend: Storage backend whose client runs the statements (ClickHouseBackend),
            or a ClickHouse client itself
        primary_key: Primary key column (default: the backend's primary_key, else "id")
        response_model: Pydantic model of one record (answers of create, get and update)
        create_model: Pydantic model of the create body (POST route only when given)
        update_model: Pydantic model of the update body (PUT route only when given)
        list_model: Pydantic model of the list and history answers (default:
            GenericListResponse)
        router_prefix: URL prefix (default: "/" + table_name with "_" replaced by "-")
        router_tags: OpenAPI tags (default: [table_name])
        order_by: ORDER BY expression of the list and get queries
        filterable_fields: Fields the list route accepts as equality filters
        enable_history: Add GET /{id}/history, every stored version of a record
        timestamp_field: Column set to the creation time on create; orders the history
        async_mode: Run statements on the thread pool (True) or on the event loop (False)
        custom_validators: Dict of field name -> callable replacing that field's value on
            create and update

    Returns:
        FastAPI APIRouter with CRUD endpoints

    Raises:
        RuntimeError: If FastAPI is not installed
        ValueError: If a key column name cannot be a path parameter

    Example:
        backend = ClickHouseBackend(client, primary_key="id")
        router = create_crud_router(
            "events",
            backend,
            response_model=Event,
            create_model=EventCreate,
            update_model=EventUpdate,
            filterable_fields=["status", "owner"],
            order_by="created_at DESC",
        )
        app.include_router(router)
    )";

enum Argument : size_t {
    table_name_arg,
    backend_arg,
    primary_key_arg,
    response_model_arg,
    create_model_arg,
    update_model_arg,
    list_model_arg,
    router_prefix_arg,
    router_tags_arg,
    order_by_arg,
    filterable_fields_arg,
    enable_history_arg,
    timestamp_field_arg,
    async_mode_arg,
    custom_validators_arg,
};

void check(const char* name, Check check, nb::handle value, bool none_allowed) {
    if (none_allowed && value.is_none()) return;
    check_argument(Parameter{name, nullptr, check}, value);
}

/// `value if value else fallback`.
nb::object or_else(nb::handle value, nb::handle fallback) {
    return nb::borrow(is_true(value) ? value : fallback);
}

/// The key column: the argument, else the backend's `primary_key` attribute, else "id".
nb::object resolve_primary_key(nb::handle primary_key, nb::handle backend) {
    if (!primary_key.is_none()) return nb::borrow(primary_key);
    PyObject* found = nullptr;
    if (_PyObject_LookupAttr(backend.ptr(), KELVORA_NAME("primary_key").ptr(), &found) < 0)
        raise_pending();
    nb::object key = found ? nb::steal(found) : nb::object(nb::str("id"));
    if (!key.is_none() && !PyUnicode_CheckExact(key.ptr())) raise_unexpected_type("str", key);
    return key;
}

/// Fills the statement texts that depend on the router alone.
void prepare_statements(Router& r) {
    r.key_condition = key_condition(r.pk_fields);
    if (!r.order_by.is_none() && PyUnicode_GET_LENGTH(r.order_by.ptr()) > 0)
        r.order_clause = "ORDER BY " + utf8(r.order_by);
    std::string history_order;
    if (PyUnicode_GET_LENGTH(r.timestamp_field.ptr()) > 0)
        history_order = "ORDER BY " + utf8(r.timestamp_field) + " DESC";
    r.describe_sql = to_str("DESCRIBE TABLE " + r.table);
    r.count_sql = to_str(count_statement(r.table, ""));
    r.page_sql = to_str(page_statement(r.table, "", r.order_clause));
    r.get_sql = to_str(get_statement(r.table, r.key_condition, r.order_clause));
    r.row_sql = to_str(row_statement(r.table, r.key_condition));
    r.key_sql = to_str(key_statement(r.table, r.pk_fields, r.key_condition));
    r.history_sql = to_str(history_statement(r.table, r.key_condition, history_order));
}

/// The keywords of a route decorator: `response_model=model`.
nb::dict route_options(nb::handle model) {
    nb::dict options;
    options["response_model"] = model;
    return options;
}

nb::object create_crud_router(nb::handle module, Arguments& a) {
    check("table_name", Check::ExactStr, a[table_name_arg], false);
    check("primary_key", Check::ExactStr, a[primary_key_arg], true);
    check("router_prefix", Check::ExactStr, a[router_prefix_arg], true);
    check("order_by", Check::ExactStr, a[order_by_arg], true);
    check("router_tags", Check::ExactList, a[router_tags_arg], true);
    check("filterable_fields", Check::ExactList, a[filterable_fields_arg], true);
    check("timestamp_field", Check::ExactStr, a[timestamp_field_arg], false);
    check("custom_validators", Check::ExactDict, a[custom_validators_arg], true);
    const Framework& fw = framework();
    if (!fw.available)
        raise(PyExc_RuntimeError,
              "FastAPI is required for CRUD API. Install with: pip install kelvora[api]");
    const bool enable_history = is_true(a[enable_history_arg]);
    const bool async_mode = is_true(a[async_mode_arg]);

    nb::handle table_name = a[table_name_arg], backend = a[backend_arg];
    nb::object primary_key = resolve_primary_key(a[primary_key_arg], backend);
    nb::object default_prefix =
        nb::str("/") + table_name.attr("replace")(KELVORA_NAME("_"), KELVORA_NAME("-"));
    nb::object prefix = or_else(a[router_prefix_arg], default_prefix);
    nb::list default_tags;
    default_tags.append(table_name);
    nb::object tags = or_else(a[router_tags_arg], default_tags);
    nb::object filterable_fields = or_else(a[filterable_fields_arg], nb::list());
    nb::object custom_validators = or_else(a[custom_validators_arg], nb::dict());
    nb::object router = fw.api_router("prefix"_a = prefix, "tags"_a = tags);

    if (primary_key.is_none()) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    // A name the route path cannot carry as a parameter would give routes that never match.
    std::string key_name = utf8(primary_key);
    if (!is_path_parameter_name(key_name))
        raise(PyExc_ValueError, "Key column name '" + key_name +
                                    "' cannot be a path parameter: it must start with a letter "
                                    "or underscore and hold only letters, digits and underscores");

    nb::object state = hold_state(std::make_unique<Router>());
    Router& r = state_of<Router>(state);
    r.table_name = nb::borrow(table_name);
    r.table = utf8(table_name);
    r.backend = nb::borrow(backend);
    r.pk_fields = {key_name};
    r.pk_names = {primary_key};
    r.response_model = nb::borrow(a[response_model_arg]);
    r.list_model = nb::borrow(a[list_model_arg]);
    r.order_by = nb::borrow(a[order_by_arg]);
    r.filterable_fields = filterable_fields;
    r.timestamp_field = nb::borrow(a[timestamp_field_arg]);
    r.custom_validators = custom_validators;
    r.async_mode = async_mode;
    r.log = Logger(module_global(module, "logger"));
    r.list_response = module_global(module, "GenericListResponse");
    r.message_response = module_global(module, "GenericMessageResponse");
    r.datetime = module_global(module, "datetime");
    nb::object zero = nb::int_(0);
    r.list_answers = ModelAnswers(r.list_response, ordered({{KELVORA_NAME("total"), zero},
                                                            {KELVORA_NAME("items"), nb::list()},
                                                            {KELVORA_NAME("limit"), zero},
                                                            {KELVORA_NAME("offset"), zero}}));
    prepare_statements(r);
    RouteParameters route_parameters(
        r.pk_names, filterable_fields,
        nb::make_tuple(a[response_model_arg], a[create_model_arg], a[update_model_arg]));
    r.key_renames = route_parameters.key_renames();
    r.filter_renames = route_parameters.filter_renames();

    nb::object client_dependency = make_function(client_dependency_spec(), state);
    nb::object dict_type = nb::module_::import_("typing").attr("Dict");
    nb::handle int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    nb::handle response_model = a[response_model_arg];
    nb::object record_model = or_else(response_model, dict_type);
    nb::object list_model = or_else(a[list_model_arg], r.list_response);

    // The handlers taking a body and/or the key: `request`, `client`, then the `trailing`
    // parameters FastAPI fills.
    auto route = [&](const char* method, nb::handle path, nb::handle model,
                     const FunctionSpec& spec, nb::handle body_model, nb::handle trailing) {
        nb::object depends = fw.depends(client_dependency);
        HandlerSignature signature;
        if (body_model.is_valid()) signature.add("request", body_model);
        signature.add("client", nb::handle(), depends);
        signature.extend(trailing);
        add_route(router, method, path, route_options(model), spec, state, nb::make_tuple(depends),
                  signature);
    };

    nb::handle create_model = a[create_model_arg];
    if (is_true(create_model))
        route("post", KELVORA_NAME("/"), record_model, create_record_spec(), create_model,
              nb::list());

    nb::object limit = fw.query(100, "ge"_a = 1, "le"_a = 1000);
    nb::object offset = fw.query(0, "ge"_a = 0);
    nb::object depends = fw.depends(client_dependency);
    HandlerSignature list_signature;
    list_signature.add("limit", int_type, limit);
    list_signature.add("offset", int_type, offset);
    list_signature.add("client", nb::handle(), depends);
    list_signature.extend(route_parameters.filters());
    add_route(router, "get", KELVORA_NAME("/"), route_options(list_model), list_records_spec(),
              state, nb::make_tuple(limit, offset, depends), list_signature, Answers::ByHandler);

    nb::object key_path = to_str("/{" + key_name + "}");
    route("get", key_path, record_model, get_record_spec(), nb::handle(), route_parameters.keys());
    nb::handle update_model = a[update_model_arg];
    if (is_true(update_model))
        route("put", key_path, record_model, update_record_spec(), update_model,
              route_parameters.keys());
    route("delete", key_path, r.message_response, delete_record_spec(), nb::handle(),
          route_parameters.keys());
    if (enable_history)
        route("get", key_path + nb::str("/history"), list_model, get_record_history_spec(),
              nb::handle(), route_parameters.keys());
    return router;
}

} // namespace

nb::object make_create_crud_router(nb::handle module) {
    FunctionSpec spec{.name = "create_crud_router",
                      .qualname = "create_crud_router",
                      .module = module_name,
                      .doc = factory_doc,
                      .parameters = {{"table_name", "str"},
                                     {"backend", "'StorageBackend'"},
                                     {"primary_key", "Optional[str]"},
                                     {"response_model", "Optional[Type[BaseModel]]"},
                                     {"create_model", "Optional[Type[BaseModel]]"},
                                     {"update_model", "Optional[Type[BaseModel]]"},
                                     {"list_model", "Optional[Type[BaseModel]]"},
                                     {"router_prefix", "Optional[str]"},
                                     {"router_tags", "Optional[List[str]]"},
                                     {"order_by", "Optional[str]"},
                                     {"filterable_fields", "Optional[List[str]]"},
                                     {"enable_history", "bool"},
                                     {"timestamp_field", "str"},
                                     {"async_mode", "bool"},
                                     {"custom_validators", "Optional[Dict[str, Callable]]"}},
                      .return_annotation = "APIRouter",
                      .body = create_crud_router};
    nb::object none = nb::none();
    nb::object defaults = nb::make_tuple(none, none, none, none, none, none, none, none, none,
                                         false, "created_at", true, none);
    return make_function(spec, module, defaults);
}

} // namespace kelvora::rowplane
