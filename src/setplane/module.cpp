// The module kelvora.setplane: the configuration-management router factory and its models.
#include "setplane/factory.hpp"
#include "setplane/models.hpp"
#include "setplane/router.hpp"

#include "native/framework.hpp"
#include "native/module.hpp"

namespace {

namespace nb = nanobind;
namespace setplane = kelvora::setplane;

constexpr const char* module_doc = R"(
Config-Specific API Factory for ConfigStore

Turns a ConfigStore into a FastAPI router that reads, replaces and patches the active
configuration, edits single sections, lists, edits, snapshots and restores stored versions,
and shows what the database holds.

Usage:
    from fastapi import FastAPI
    from kelvora.backend import ConfigStore
    from kelvora.clickhouse import connect
    from kelvora.setplane import create_config_router

    store = ConfigStore(
        {"clickhouse": {"host": "localhost", "port": 9000}},
        client=connect("http://localhost:8123/default"),
        config_name="my_service",
    )
    app = FastAPI()
    app.include_router(create_config_router(store, reload_callback=reload_settings))

With version endpoints enabled, GET /config/versions answers the version listing, so a
section named "versions" is read through GET /config/ (the whole configuration); PUT and
DELETE /config/versions still replace and delete that section.
)";

} // namespace

KELVORA_MODULE(setplane, m) {
    m.attr("__doc__") = module_doc;
    m.attr("asyncio") = nb::module_::import_("asyncio");
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    nb::module_ typing = nb::module_::import_("typing");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Type"})
        m.attr(name) = typing.attr(name);
    // Without FastAPI or Pydantic the module still imports, with FASTAPI_AVAILABLE false and the
    // framework names bound to None.
    kelvora::import_framework(
        m, {"APIRouter", "Depends", "HTTPException", "Body", "run_in_threadpool", "BaseModel"},
        {"APIRouter", "Depends", "HTTPException", "Body", "BaseModel"});
    m.attr("FASTAPI_AVAILABLE") = kelvora::framework().available;
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
    if (nb::cast<bool>(m.attr("FASTAPI_AVAILABLE"))) setplane::add_response_models(m);
    m.attr("create_config_router") = setplane::make_config_router_factory(m);
}
