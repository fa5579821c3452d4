// The module kelvora.setcontrol: the control plane of a configuration, beside its config router.
#include "setcontrol/factory.hpp"
#include "setcontrol/openapi.hpp"

#include "native/framework.hpp"
#include "native/module.hpp"

namespace {

namespace nb = nanobind;
namespace setcontrol = kelvora::setcontrol;

constexpr const char* module_doc = R"(
Control plane of a ConfigStore, beside its config router

Adds to a config router (kelvora.setplane) what config services are asked for: conditional
requests (a strong ETag from the version and revision an answer shows, If-None-Match -> 304,
If-Match on every write -> 412 when the configuration moved on, If-None-Match: * on a section
PUT creates it only if absent), validation before anything is stored (a JSON Schema or the
configuration model: 422 naming the path of the failing value) and dry runs (?dry_run=true
answers what would be stored), and the history (the revisions of a version, RFC 6902 diffs
between versions or revisions, restoring a revision).

How it shares the paths of the config router: the host includes the control router first,
with the config router's store and prefix. Its routes on the config router's paths are of a
route class that matches only requests using the control plane (If-Match, If-None-Match,
Accept: text/event-stream, the query parameters dry_run, wait and index; with a schema or a
model, every write), so every other request falls through to the config router and is
answered exactly as without the control router. A check and the write it allows run as one
step: the check is the write's precondition, which the store calls under the configuration's
write lock (its lock table on a server), for writers in any process.

Usage:
    from kelvora.setcontrol import create_config_control_router, document_control_plane
    from kelvora.setplane import create_config_router

    app.include_router(create_config_control_router(store, schema=schema))  # first
    app.include_router(create_config_router(store))
    document_control_plane(app)  # app.openapi() documents both on one operation

FastAPI keeps one operation per path and method, so the control router's routes on the
config router's paths stay out of the schema, and document_control_plane adds their
headers, query parameters and answers (304, 409, 412, 422) to the config router's
operations; the history routes are documented as they are.
)";

} // namespace

KELVORA_MODULE(setcontrol, m) {
    m.attr("__doc__") = module_doc;
    nb::module_ logging = nb::module_::import_("logging");
    kelvora::import_framework(m, {}, {});
    m.attr("FASTAPI_AVAILABLE") = kelvora::framework().available;
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
    // Ends a dry run's write once its checks passed: nothing is stored.
    m.attr("_NotStored") = nb::steal(PyErr_NewExceptionWithDoc(
        "kelvora.setcontrol._NotStored", "A dry run's write, stopped before it stored its row.",
        PyExc_Exception, nullptr));
    m.attr("create_config_control_router") = setcontrol::make_control_router_factory(m);
    m.attr("document_control_plane") = setcontrol::make_document_control_plane();
}
