// create_config_router: checks its arguments, builds one router state and registers the handlers
// closed over it, in the order of the route table.
#include "setplane/factory.hpp"

#include "setplane/handlers.hpp"
#include "setplane/router.hpp"

#include "native/attributes.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/routes.hpp"
#include "native/state.hpp"

#include <memory>
#include <string>

namespace kelvora::setplane {

namespace {

using namespace nb::literals;

constexpr const char* factory_doc = R"(
    Create a config management router for ConfigStore.

    Args:
        config_store: ConfigStore instance to manage
        config_model: Optional Pydantic model for validating the full config
        reload_callback: Optional callback run after config changes (sync or async)
        auth_dependency: Optional FastAPI dependency for authentication
        router_prefix: URL prefix (default: "/config")
        router_tags: OpenAPI tags (default: ["config"])
        enable_section_endpoints: Enable section-level endpoints (default: True)
        enable_version_endpoints: Enable version management endpoints (default: True)
        enable_database_endpoints: Enable database config endpoints (default: True)

    Returns:
        FastAPI APIRouter with config management endpoints

    Raises:
        RuntimeError: If FastAPI is not installed
    )";

/// Which factory flag a route depends on.
enum class Group { Always, Sections, Versions, Database };

/// How a handler parameter reaches FastAPI.
enum class Source { PathText, PathNumber, JsonObject };

struct RouteParameter {
    const char* name = nullptr;
    Source source = Source::PathText;
};

struct Route {
    Group group;
    const char* method;
    const char* path;
    const char* name;
    CoroutineBody body;
    const char* doc;
    const char* response_model = nullptr; ///< module attribute naming the model
    RouteParameter first{}, second{};     ///< unnamed when absent
    Answers answers = Answers::ByFramework;
};

constexpr const char* get_full_config_doc = R"(
        Read the entire configuration.
        Returns the current active config from ConfigStore.
        )";
constexpr const char* replace_config_doc = R"(
        Replace the entire configuration.
        Creates a new version in the database.
        )";
constexpr const char* update_config_doc = R"(
        Merge provided keys into the configuration.
        Creates a new version in the database.

        Example: {"logging": {"level": "DEBUG"}, "debug": true}
        )";
constexpr const char* reload_config_doc = R"(
        Reload configuration from database.
        Clears cache and fetches the latest version.
        )";
constexpr const char* get_section_doc = R"(
        Read a specific section of the config.
        Example: /config/clickhouse
        )";
constexpr const char* replace_section_doc = R"(
        Replace a specific section of the config.
        Example: PUT /config/clickhouse with {"host": "localhost", ...}
        )";
constexpr const char* delete_section_doc = R"(
        Delete a specific section from the config.
        Not recommended for required sections!
        )";
constexpr const char* get_config_versions_doc = R"(
        Fetch all config versions from database.
        Shows version history with timestamps.
        )";
constexpr const char* get_config_by_version_doc = R"(
        Fetch a specific config version from database.
        Does NOT apply it - just shows what that version contains.
        )";
constexpr const char* update_config_version_doc = R"(
        Update a specific version in-place (advanced operation).
        Modifies the version in the database without creating a new version.
        )";
constexpr const char* patch_config_version_doc = R"(
        Patch a specific version in-place (advanced operation).
        Merges changes into the version in the database.
        )";
constexpr const char* create_new_version_doc = R"(
        Create a new version (version + 1) by snapshotting current config.
        Use this to create rollback points before major changes.
        )";
constexpr const char* restore_version_doc = R"(
        Restore configuration from a previous version.
        Writes the old version's payload into the current latest version.
        )";
constexpr const char* get_current_database_config_doc = R"(
        Fetch the current config directly from database (latest version).
        This is what will be loaded on next server restart/reload.
        )";

constexpr RouteParameter none{};
constexpr RouteParameter section{"section", Source::PathText};
constexpr RouteParameter version{"version", Source::PathNumber};
constexpr RouteParameter new_config{"new_config", Source::JsonObject};
constexpr RouteParameter patch{"patch", Source::JsonObject};
constexpr RouteParameter section_config{"section_config", Source::JsonObject};
constexpr RouteParameter payload{"payload", Source::JsonObject};

// The reads answer the payload as it is: their handlers write its JSON themselves.
constexpr Answers written = Answers::ByHandler;

#define KELVORA_HANDLER(name) #name, coroutine_body<name>(), name##_doc

// The routes in registration order.
const Route routes[] = {
    {Group::Always, "get", "/", KELVORA_HANDLER(get_full_config), nullptr, none, none, written},
    {Group::Always, "put", "/", KELVORA_HANDLER(replace_config), nullptr, new_config},
    {Group::Always, "patch", "/", KELVORA_HANDLER(update_config), nullptr, patch},
    {Group::Always, "post", "/reload", KELVORA_HANDLER(reload_config), "ConfigReloadResponse"},
    {Group::Sections, "get", "/{section}", KELVORA_HANDLER(get_section), nullptr, section, none,
     written},
    {Group::Sections, "put", "/{section}", KELVORA_HANDLER(replace_section), nullptr, section,
     section_config},
    {Group::Sections, "delete", "/{section}", KELVORA_HANDLER(delete_section), nullptr, section},
    {Group::Versions, "get", "/versions", KELVORA_HANDLER(get_config_versions),
     "ConfigVersionsResponse"},
    {Group::Versions, "get", "/versions/{version}", KELVORA_HANDLER(get_config_by_version),
     "ConfigVersionDetailResponse", version},
    {Group::Versions, "put", "/versions/{version}", KELVORA_HANDLER(update_config_version), nullptr,
     version, payload},
    {Group::Versions, "patch", "/versions/{version}", KELVORA_HANDLER(patch_config_version),
     nullptr, version, patch},
    {Group::Versions, "post", "/versions", KELVORA_HANDLER(create_new_version)},
    {Group::Versions, "post", "/versions/{version}/restore", KELVORA_HANDLER(restore_version),
     nullptr, version},
    {Group::Database, "get", "/database/current", KELVORA_HANDLER(get_current_database_config)},
};

#undef KELVORA_HANDLER

/// What the handlers' parameters are, in the framework's terms.
struct Annotations {
    nb::object json_object;
    nb::handle text = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::handle number = reinterpret_cast<PyObject*>(&PyLong_Type);
};

bool is_group_enabled(Group group, bool sections, bool versions, bool database) {
    switch (group) {
    case Group::Always:
        return true;
    case Group::Sections:
        return sections;
    case Group::Versions:
        return versions;
    case Group::Database:
        return database;
    }
    return false;
}

/// Registers the handler of one route, a coroutine function over the router state, with the
/// signature FastAPI reads its parameters from.
void add_handler(nb::handle router, const Route& route, nb::handle route_options, nb::handle state,
                 const Annotations& a) {
    std::vector<Parameter> parameters;
    HandlerSignature signature;
    nb::list defaults;
    for (const RouteParameter* p : {&route.first, &route.second}) {
        if (!p->name) continue;
        switch (p->source) {
        case Source::JsonObject: {
            nb::object body = framework().body(nb::ellipsis());
            parameters.push_back({p->name, "Dict[str, Any]"});
            signature.add(p->name, a.json_object, body);
            defaults.append(body);
            break;
        }
        case Source::PathText:
            parameters.push_back({p->name, "str"});
            signature.add(p->name, a.text);
            break;
        case Source::PathNumber:
            parameters.push_back({p->name, "int"});
            signature.add(p->name, a.number);
            break;
        }
    }
    const std::string qualname = std::string("create_config_router.<locals>.") + route.name;
    FunctionSpec spec{.name = route.name,
                      .qualname = qualname.c_str(),
                      .module = module_name,
                      .doc = route.doc,
                      .parameters = std::move(parameters),
                      .coroutine = route.body};
    add_route(router, route.method, nb::str(route.path), route_options, spec, state,
              defaults.size() ? nb::object(nb::tuple(defaults)) : nb::none(), signature,
              route.answers);
}

nb::object create_config_router(nb::handle module, Arguments& args) {
    nb::handle config_store = args[0], config_model = args[1], reload_callback = args[2],
               auth_dependency = args[3], router_prefix = args[4], router_tags = args[5];
    if (!router_tags.is_none() && !PyList_CheckExact(router_tags.ptr()))
        raise_argument_type("router_tags", "list", router_tags);

    if (!framework().available)
        raise(PyExc_RuntimeError,
              "FastAPI is required for config API. Install with: pip install kelvora[api]");
    // `from .backend import ConfigStore`, through the import system on every call.
    nb::object config_store_class =
        import_from(nb::module_::import_("kelvora.backend"), "ConfigStore");
    const int is_store = PyObject_IsInstance(config_store.ptr(), config_store_class.ptr());
    if (is_store < 0) raise_pending();
    if (!is_store) raise(PyExc_TypeError, "config_store must be an instance of ConfigStore");

    nb::list tags;
    if (is_true(router_tags))
        tags = nb::borrow<nb::list>(router_tags);
    else
        tags.append("config");
    nb::object router = framework().api_router("prefix"_a = router_prefix, "tags"_a = tags);
    nb::list dependencies;
    if (is_true(auth_dependency)) dependencies.append(framework().depends(auth_dependency));

    nb::object state = hold_state(std::make_unique<ConfigRouter>());
    ConfigRouter& r = state_of<ConfigRouter>(state);
    r.store = nb::borrow(config_store);
    r.config_model = nb::borrow(config_model);
    r.reload_callback = nb::borrow(reload_callback);
    r.config_name = config_store.attr(KELVORA_NAME("config_name"));
    r.config_name_text = py_format(r.config_name);
    r.run_in_threadpool = module_global(module, "run_in_threadpool");
    r.iscoroutinefunction = module_global(module, "asyncio").attr("iscoroutinefunction");
    r.version_info_model = module_global(module, "ConfigVersionInfo");
    r.versions_model = module_global(module, "ConfigVersionsResponse");
    r.version_detail_model = module_global(module, "ConfigVersionDetailResponse");
    r.reload_model = module_global(module, "ConfigReloadResponse");
    r.log = Logger(module_global(module, "logger"));

    nb::module_ typing = nb::module_::import_("typing");
    Annotations annotations;
    annotations.json_object =
        typing.attr("Dict")[nb::make_tuple(annotations.text, typing.attr("Any"))];

    const bool sections = is_true(args[6]);
    const bool versions = is_true(args[7]);
    const bool database = is_true(args[8]);
    r.version_listing = versions;
    for (const Route& route : routes) {
        if (!is_group_enabled(route.group, sections, versions, database)) continue;
        nb::dict options;
        options["dependencies"] = dependencies;
        if (route.response_model)
            options["response_model"] = module_global(module, route.response_model);
        add_handler(router, route, options, state, annotations);
    }
    return router;
}

} // namespace

nb::object make_config_router_factory(nb::handle module) {
    FunctionSpec spec{.name = "create_config_router",
                      .module = module_name,
                      .doc = factory_doc,
                      .parameters = {{"config_store"},
                                     {"config_model", "Optional[Type[BaseModel]]"},
                                     {"reload_callback", "Optional[Callable]"},
                                     {"auth_dependency", "Optional[Callable]"},
                                     {"router_prefix", "str", Check::ExactStr},
                                     {"router_tags", "Optional[List[str]]"},
                                     {"enable_section_endpoints", "bool"},
                                     {"enable_version_endpoints", "bool"},
                                     {"enable_database_endpoints", "bool"}},
                      .return_annotation = "APIRouter",
                      .body = create_config_router};
    nb::object defaults =
        nb::make_tuple(nb::none(), nb::none(), nb::none(), "/config", nb::none(), true, true, true);
    return make_function(spec, module, defaults);
}

} // namespace kelvora::setplane
