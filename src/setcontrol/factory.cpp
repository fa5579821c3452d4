// create_config_control_router: checks its arguments, builds one router state and registers the
// handlers closed over it: first the routes on the config router's own paths (of the control
// route class), then the history routes on paths of their own.
#include "setcontrol/factory.hpp"

#include "setcontrol/control.hpp"
#include "setcontrol/handlers.hpp"
#include "setcontrol/openapi.hpp"
#include "setcontrol/route_class.hpp"
#include "setcontrol/validation.hpp"

#include "native/attributes.hpp"
#include "native/framework.hpp"
#include "native/function.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"
#include "native/routes.hpp"

#include <memory>
#include <string>
#include <vector>

namespace kelvora::setcontrol {

namespace {

using namespace nb::literals;

constexpr const char* factory_doc = R"(
    Create the control router of a ConfigStore: conditional requests, validation and dry runs,
    history and diffs, beside the store's config router.

    Include it before the config router, with the same store and prefix: its routes on the
    config router's paths answer only requests that use If-Match, If-None-Match, dry_run (or,
    with a schema or model, every write) and leave every other request to the config router.

    Args:
        config_store: ConfigStore instance (the config router's)
        schema: Optional JSON Schema every stored configuration must satisfy
        config_model: Optional Pydantic model of the configuration (the config router's)
        reload_callback: Optional callback run after config changes (the config router's)
        auth_dependency: Optional FastAPI dependency for authentication (the config router's)
        router_prefix: URL prefix (default: "/config"; the config router's)
        router_tags: OpenAPI tags (default: ["config"])

    Returns:
        FastAPI APIRouter with the control endpoints

    Raises:
        RuntimeError: If FastAPI is not installed
    )";

/// How a handler parameter reaches FastAPI.
enum class Source {
    PathText,
    PathNumber,
    JsonObject,
    IfMatch,
    IfNoneMatch,
    DryRun,
    Wait,
    Index,
    Accept,
    LastEventId,
    Author
};

/// Which answers a route adds to the config router's, for its OpenAPI description.
enum class Answers { Watch, Read, Write, History, HistoryWrite };

struct Route {
    bool overlay; ///< on a path of the config router (the control route class)
    const char* method;
    const char* path;
    const char* name;
    CoroutineBody body;
    const char* doc;
    Answers answers;
    std::vector<std::pair<const char*, Source>> parameters;
};

constexpr const char* get_full_config_doc = R"(
        Read the entire configuration, with its ETag; or watch it.
        If-None-Match naming the current ETag answers 304. With index=N (and wait=S seconds,
        30 unless given, at most 600) the answer comes once the version passes N or the wait
        ends, with the version in X-Config-Index. With Accept: text/event-stream the answer is a
        stream of server-sent change events (id: the revision; data: version, revision and the
        changed top-level keys), resumed after Last-Event-ID when given.
        )";
constexpr const char* replace_config_doc = R"(
        Replace the entire configuration, under conditions.
        If-Match: 412 unless it names the current ETag. dry_run: answer what would be stored.
        )";
constexpr const char* update_config_doc = R"(
        Merge provided keys into the configuration, under conditions.
        If-Match: 412 unless it names the current ETag. dry_run: answer what would be stored.
        )";
constexpr const char* get_section_doc = R"(
        Read a specific section of the config, with the configuration's ETag.
        If-None-Match naming the current ETag answers 304.
        )";
constexpr const char* replace_section_doc = R"(
        Replace a specific section of the config, under conditions.
        If-None-Match: * creates it only if absent (412 when it exists).
        )";
constexpr const char* delete_section_doc = R"(
        Delete a specific section from the config, under conditions.
        If-Match: 412 unless it names the current ETag. dry_run: answer what would be stored.
        )";
constexpr const char* get_config_by_version_doc = R"(
        Fetch a specific config version, with its ETag.
        If-None-Match naming the version's current ETag answers 304.
        )";
constexpr const char* update_config_version_doc = R"(
        Update a specific version in-place, under conditions.
        If-Match names the version's ETag (412 when it was edited since).
        )";
constexpr const char* patch_config_version_doc = R"(
        Patch a specific version in-place, under conditions.
        If-Match names the version's ETag (412 when it was edited since).
        )";
constexpr const char* create_new_version_doc = R"(
        Create a new version by snapshotting current config, under conditions.
        If-Match: 412 unless it names the current ETag. dry_run: answer what would be stored.
        )";
constexpr const char* restore_version_doc = R"(
        Restore configuration from a previous version, under conditions.
        If-Match: 412 unless it names the current ETag. dry_run: answer what would be stored.
        )";
constexpr const char* get_current_database_config_doc = R"(
        Fetch the current config directly from database, with its ETag.
        If-None-Match naming the current ETag answers 304.
        )";
constexpr const char* get_version_revisions_doc = R"(
        List the revisions of a version, newest first.
        Each in-place edit or restore of a version adds a revision; the superseded ones stay.
        )";
constexpr const char* get_revision_doc = R"(
        Fetch one revision, with its payload and ETag.
        If-None-Match naming its ETag answers 304.
        )";
constexpr const char* diff_versions_doc = R"(
        Compare two versions (their newest revisions).
        Answers an RFC 6902 JSON Patch from the first to the second and the changed top-level keys.
        )";
constexpr const char* diff_revisions_doc = R"(
        Compare two revisions.
        Answers an RFC 6902 JSON Patch from the first to the second and the changed top-level keys.
        )";
constexpr const char* restore_revision_doc = R"(
        Restore configuration from a revision, under conditions.
        Writes the revision's payload into the current latest version.
        )";

#define KELVORA_HANDLER(name) #name, coroutine_body<name>(), name##_doc

constexpr std::pair<const char*, Source> if_match{"if_match", Source::IfMatch};
constexpr std::pair<const char*, Source> if_none_match{"if_none_match", Source::IfNoneMatch};
constexpr std::pair<const char*, Source> dry_run{"dry_run", Source::DryRun};
constexpr std::pair<const char*, Source> author{"author", Source::Author};
constexpr std::pair<const char*, Source> section{"section", Source::PathText};
constexpr std::pair<const char*, Source> version{"version", Source::PathNumber};
constexpr std::pair<const char*, Source> revision{"revision", Source::PathNumber};
constexpr std::pair<const char*, Source> other{"other", Source::PathNumber};

std::pair<const char*, Source> body(const char* name) {
    return {name, Source::JsonObject};
}

// The routes in registration order.
const std::vector<Route>& routes() {
    static const std::vector<Route> table = {
        {true,
         "get",
         "/",
         KELVORA_HANDLER(get_full_config),
         Answers::Watch,
         {if_none_match,
          {"wait", Source::Wait},
          {"index", Source::Index},
          {"accept", Source::Accept},
          {"last_event_id", Source::LastEventId}}},
        {true,
         "put",
         "/",
         KELVORA_HANDLER(replace_config),
         Answers::Write,
         {body("new_config"), if_match, if_none_match, dry_run, author}},
        {true,
         "patch",
         "/",
         KELVORA_HANDLER(update_config),
         Answers::Write,
         {body("patch"), if_match, if_none_match, dry_run, author}},
        {true,
         "get",
         "/{section}",
         KELVORA_HANDLER(get_section),
         Answers::Read,
         {section, if_none_match}},
        {true,
         "put",
         "/{section}",
         KELVORA_HANDLER(replace_section),
         Answers::Write,
         {section, body("section_config"), if_match, if_none_match, dry_run, author}},
        {true,
         "delete",
         "/{section}",
         KELVORA_HANDLER(delete_section),
         Answers::Write,
         {section, if_match, if_none_match, dry_run, author}},
        {true,
         "get",
         "/versions/{version}",
         KELVORA_HANDLER(get_config_by_version),
         Answers::Read,
         {version, if_none_match}},
        {true,
         "put",
         "/versions/{version}",
         KELVORA_HANDLER(update_config_version),
         Answers::Write,
         {version, body("payload"), if_match, if_none_match, dry_run, author}},
        {true,
         "patch",
         "/versions/{version}",
         KELVORA_HANDLER(patch_config_version),
         Answers::Write,
         {version, body("patch"), if_match, if_none_match, dry_run, author}},
        {true,
         "post",
         "/versions",
         KELVORA_HANDLER(create_new_version),
         Answers::Write,
         {if_match, if_none_match, dry_run, author}},
        {true,
         "post",
         "/versions/{version}/restore",
         KELVORA_HANDLER(restore_version),
         Answers::Write,
         {version, if_match, if_none_match, dry_run, author}},
        {true,
         "get",
         "/database/current",
         KELVORA_HANDLER(get_current_database_config),
         Answers::Read,
         {if_none_match}},
        {false,
         "get",
         "/versions/{version}/revisions",
         KELVORA_HANDLER(get_version_revisions),
         Answers::History,
         {version}},
        {false,
         "get",
         "/versions/{version}/diff/{other}",
         KELVORA_HANDLER(diff_versions),
         Answers::History,
         {version, other}},
        {false,
         "get",
         "/revisions/{revision}",
         KELVORA_HANDLER(get_revision),
         Answers::History,
         {revision, if_none_match}},
        {false,
         "get",
         "/revisions/{revision}/diff/{other}",
         KELVORA_HANDLER(diff_revisions),
         Answers::History,
         {revision, other}},
        {false,
         "post",
         "/revisions/{revision}/restore",
         KELVORA_HANDLER(restore_revision),
         Answers::HistoryWrite,
         {revision, if_match, if_none_match, dry_run, author}},
    };
    return table;
}

#undef KELVORA_HANDLER

nb::dict described(const char* text) {
    nb::dict answer;
    answer["description"] = text;
    return answer;
}

/// The answers a route documents beside its 200.
nb::dict documented_answers(Answers answers) {
    nb::dict documented;
    const bool writes = answers == Answers::Write || answers == Answers::HistoryWrite;
    if (!writes)
        documented[nb::int_(304)] = described("Not Modified: If-None-Match names the current ETag");
    if (answers == Answers::Watch) {
        documented[nb::int_(400)] = described("Last-Event-ID names no revision");
        documented[nb::int_(422)] = described("wait or index out of range");
        return documented;
    }
    documented[nb::int_(404)] = described("The section, version or revision does not exist");
    if (writes) {
        documented[nb::int_(409)] =
            described("Conflict: the write lock was broken before the write completed; nothing "
                      "was stored");
        documented[nb::int_(412)] =
            described("Precondition Failed: If-Match does not name the current ETag (the "
                      "configuration moved on), If-None-Match names it, or If-None-Match: * "
                      "finds the section; the answer's ETag header is the current one");
        documented[nb::int_(422)] =
            described("Unprocessable: the configuration to be stored is refused by the schema or "
                      "model (the detail names the path of the failing value), or the request "
                      "does not fit its parameters");
    }
    return documented;
}

nb::dict schema_of(const char* type) {
    nb::dict schema;
    schema["type"] = type;
    return schema;
}

/// The OpenAPI parameter object of a header or query parameter; unset for the others.
nb::object parameter_of(Source source) {
    nb::dict number = schema_of("number"), integer = schema_of("integer"),
             boolean = schema_of("boolean");
    number["minimum"] = 0;
    number["maximum"] = 600;
    integer["minimum"] = 0;
    boolean["default"] = false;
    switch (source) {
    case Source::IfMatch:
        return parameter_documentation("If-Match", "header", schema_of("string"),
                                       "Write only if the current ETag is listed (or *): 412 "
                                       "otherwise, with the current ETag");
    case Source::IfNoneMatch:
        return parameter_documentation("If-None-Match", "header", schema_of("string"),
                                       "Reads: 304 when the current ETag is listed (or *). "
                                       "Writes: 412 when it is listed; on a section PUT, * "
                                       "creates the section only if absent");
    case Source::DryRun:
        return parameter_documentation("dry_run", "query", boolean,
                                       "Answer what would be stored, and store nothing");
    case Source::Wait:
        return parameter_documentation("wait", "query", number,
                                       "With index: seconds to wait for a later version (30)");
    case Source::Index:
        return parameter_documentation("index", "query", integer,
                                       "Answer once the version is past this one");
    case Source::Accept:
        return parameter_documentation("Accept", "header", schema_of("string"),
                                       "text/event-stream: a stream of change events");
    case Source::LastEventId:
        return parameter_documentation("Last-Event-ID", "header", schema_of("string"),
                                       "Resume a change stream after this revision");
    default:
        return nb::object();
    }
}

/// What the handlers' parameters are, in the framework's terms.
struct Annotations {
    nb::object author; ///< Depends(the authentication dependency, or one naming nobody)
    nb::object header, query, json_object, optional_text, optional_number, optional_integer,
        boolean;
    nb::handle text = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::handle number = reinterpret_cast<PyObject*>(&PyLong_Type);
};

void add_handler(nb::handle router, const Route& route, nb::handle options, nb::handle state,
                 const Annotations& f) {
    std::vector<Parameter> parameters;
    HandlerSignature signature;
    nb::list defaults, documented;
    bool defaulted = false;
    for (const auto& [name, source] : route.parameters) {
        if (nb::object documentation = parameter_of(source); documentation.is_valid())
            documented.append(documentation);
        nb::object default_value;
        switch (source) {
        case Source::PathText:
            parameters.push_back({name, "str"});
            signature.add(name, f.text);
            break;
        case Source::PathNumber:
            parameters.push_back({name, "int"});
            signature.add(name, f.number);
            break;
        case Source::JsonObject:
            default_value = framework().body(nb::ellipsis());
            parameters.push_back({name, "Dict[str, Any]"});
            signature.add(name, f.json_object, default_value);
            break;
        case Source::IfMatch:
        case Source::IfNoneMatch:
            default_value = f.header(
                nb::none(), "alias"_a = source == Source::IfMatch ? "If-Match" : "If-None-Match");
            parameters.push_back({name, "Optional[str]"});
            signature.add(name, f.optional_text, default_value);
            break;
        case Source::Accept:
        case Source::LastEventId:
            default_value = f.header(
                nb::none(), "alias"_a = source == Source::Accept ? "Accept" : "Last-Event-ID");
            parameters.push_back({name, "Optional[str]"});
            signature.add(name, f.optional_text, default_value);
            break;
        case Source::Wait:
            default_value = f.query(nb::none(), "ge"_a = 0, "le"_a = 600);
            parameters.push_back({name, "Optional[float]"});
            signature.add(name, f.optional_number, default_value);
            break;
        case Source::Index:
            default_value = f.query(nb::none(), "ge"_a = 0);
            parameters.push_back({name, "Optional[int]"});
            signature.add(name, f.optional_integer, default_value);
            break;
        case Source::Author:
            // The authentication dependency's answer (FastAPI runs it once per request).
            default_value = f.author;
            parameters.push_back({name});
            signature.add(name, nb::handle(), default_value);
            break;
        case Source::DryRun:
            default_value = f.query(false);
            parameters.push_back({name, "bool"});
            signature.add(name, f.boolean, default_value);
            break;
        }
        if (default_value.is_valid()) {
            defaulted = true;
            defaults.append(default_value);
        } else if (defaulted) {
            raise(PyExc_SystemError, "a required parameter follows a defaulted one");
        }
    }
    const std::string qualname = std::string("create_config_control_router.<locals>.") + route.name;
    FunctionSpec spec{.name = route.name,
                      .qualname = qualname.c_str(),
                      .module = module_name,
                      .doc = route.doc,
                      .parameters = std::move(parameters),
                      .coroutine = route.body};
    add_route(router, route.method, nb::str(route.path), options, spec, state,
              defaults.size() ? nb::object(nb::tuple(defaults)) : nb::none(), signature);
    if (!route.overlay) return;
    // The config router documents the operation; document_control_plane adds these to it.
    nb::dict responses;
    for (auto [status, answer] : nb::borrow<nb::dict>(options["responses"]))
        responses[nb::str(status)] = answer;
    nb::dict documentation;
    documentation["parameters"] = documented;
    documentation["responses"] = responses;
    nb::object routes = router.attr("routes");
    routes[nb::len(routes) - 1].attr("endpoint").attr("control_openapi") = documentation;
}

Task nobody(nb::object) {
    co_return nb::none();
}

/// The dependency of routers without authentication: nobody is named.
nb::object make_nobody() {
    static const FunctionSpec spec{.name = "nobody",
                                   .qualname = "create_config_control_router.<locals>.nobody",
                                   .module = module_name,
                                   .parameters = {},
                                   .coroutine = coroutine_body<nobody>()};
    return make_function(spec);
}

nb::object create_config_control_router(nb::handle module, Arguments& args) {
    nb::handle config_store = args[0], schema = args[1], config_model = args[2],
               reload_callback = args[3], auth_dependency = args[4], router_prefix = args[5],
               router_tags = args[6];
    if (!router_tags.is_none() && !PyList_CheckExact(router_tags.ptr()))
        raise_argument_type("router_tags", "list", router_tags);
    if (!schema.is_none() && !PyDict_Check(schema.ptr()))
        raise_argument_type("schema", "dict", schema);
    if (!framework().available)
        raise(PyExc_RuntimeError,
              "FastAPI is required for config API. Install with: pip install kelvora[api]");
    nb::module_ backend = nb::module_::import_("kelvora.backend");
    const int is_store =
        PyObject_IsInstance(config_store.ptr(), import_from(backend, "ConfigStore").ptr());
    if (is_store < 0) raise_pending();
    if (!is_store) raise(PyExc_TypeError, "config_store must be an instance of ConfigStore");

    nb::list tags;
    if (is_true(router_tags))
        tags = nb::borrow<nb::list>(router_tags);
    else
        tags.append("config");
    nb::list dependencies;
    if (is_true(auth_dependency)) dependencies.append(framework().depends(auth_dependency));

    nb::object state = hold_state(std::make_unique<ControlRouter>());
    ControlRouter& r = state_of<ControlRouter>(state);
    r.store = nb::borrow(config_store);
    r.config_model = nb::borrow(config_model);
    r.reload_callback = nb::borrow(reload_callback);
    r.validator = schema_validator(schema);
    r.config_name = config_store.attr(KELVORA_NAME("config_name"));
    r.config_name_text = py_format(r.config_name);
    r.feed_of = import_from(nb::module_::import_("kelvora.config_feed"), "ConfigFeed").attr("of");
    r.event_encoder = make_event_encoder();
    r.not_stored = module_global(module, "_NotStored");
    r.write_lock_lost = import_from(backend, "WriteLockLost");
    r.run_in_threadpool = framework().run_in_threadpool;
    r.iscoroutinefunction = nb::module_::import_("asyncio").attr("iscoroutinefunction");
    nb::module_ responses = nb::module_::import_("fastapi.responses");
    r.json_response = framework().json_response;
    r.plain_response = responses.attr("Response");
    r.streaming_response = responses.attr("StreamingResponse");
    r.jsonable_encoder = nb::module_::import_("fastapi.encoders").attr("jsonable_encoder");
    r.log = Logger(module_global(module, "logger"));

    nb::module_ fastapi = nb::module_::import_("fastapi");
    nb::module_ typing = nb::module_::import_("typing");
    Annotations a;
    a.author =
        framework().depends(is_true(auth_dependency) ? nb::borrow(auth_dependency) : make_nobody());
    a.header = fastapi.attr("Header");
    a.query = framework().query;
    a.json_object = typing.attr("Dict")[nb::make_tuple(a.text, typing.attr("Any"))];
    a.optional_text = typing.attr("Optional")[a.text];
    a.optional_number =
        typing.attr("Optional")[nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type))];
    a.optional_integer = typing.attr("Optional")[a.number];
    a.boolean = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));

    nb::object router =
        make_control_plane_class(state)("prefix"_a = router_prefix, "tags"_a = tags);
    nb::object overlay =
        make_control_routes_class(state)("route_class"_a = make_control_route_class(state));
    // The routes on the config router's paths come first (the table lists them first), then
    // the history routes, whose paths the config router does not serve.
    bool overlay_included = false;
    for (const Route& route : routes()) {
        if (!route.overlay && !overlay_included) {
            router.attr("include_router")(overlay);
            overlay_included = true;
        }
        nb::dict options;
        options["dependencies"] = dependencies;
        options["responses"] = documented_answers(route.answers);
        if (route.overlay) options["include_in_schema"] = false;
        add_handler(route.overlay ? overlay : router, route, options, state, a);
    }
    return router;
}

} // namespace

nb::object make_control_router_factory(nb::handle module) {
    FunctionSpec spec{.name = "create_config_control_router",
                      .module = module_name,
                      .doc = factory_doc,
                      .parameters = {{"config_store"},
                                     {"schema", "Optional[Dict[str, Any]]"},
                                     {"config_model", "Optional[Type[BaseModel]]"},
                                     {"reload_callback", "Optional[Callable]"},
                                     {"auth_dependency", "Optional[Callable]"},
                                     {"router_prefix", "str", Check::ExactStr},
                                     {"router_tags", "Optional[List[str]]"}},
                      .return_annotation = "APIRouter",
                      .body = create_config_control_router};
    nb::object defaults =
        nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none(), "/config", nb::none());
    return make_function(spec, module, defaults);
}

} // namespace kelvora::setcontrol
