// The module kelvora.rowplane: a generic CRUD REST router over one ClickHouse table.
#include "rowplane/factory.hpp"
#include "rowplane/router.hpp"

#include "native/framework.hpp"
#include "native/models.hpp"
#include "native/module.hpp"

namespace {

namespace nb = nanobind;
using namespace kelvora;
using namespace kelvora::rowplane;

constexpr const char* module_doc = R"(
Generic CRUD API Factory for Storage Backends

Creates a FastAPI router over one table of a storage backend, supporting:
- Listing records with equality filters and pagination (GET /)
- Reading one record by primary key (GET /{id})
- Creating records (POST /), with a conflict check on the key
- Updating and deleting records as ClickHouse mutations (PUT, DELETE /{id})
- Optionally, every stored version of a record (GET /{id}/history)

Usage:
    from kelvora.backends import ClickHouseBackend
    from kelvora.rowplane import create_crud_router

    backend = ClickHouseBackend(client, primary_key="id")
    router = create_crud_router("events", backend, create_model=EventCreate)
    app.include_router(router)
)";

/// The two response models, Pydantic models declared as a class statement would declare them.
void define_models(nb::module_ m) {
    nb::object base = m.attr("BaseModel");
    nb::object typing = nb::module_::import_("typing");
    nb::object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object str_type = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::object record = typing.attr("Dict")[nb::make_tuple(str_type, typing.attr("Any"))];
    m.attr("GenericListResponse") =
        make_model(base, module_name, "GenericListResponse", "Generic paginated list response",
                   {{"total", int_type},
                    {"items", typing.attr("List")[record]},
                    {"limit", int_type},
                    {"offset", int_type}});
    m.attr("GenericMessageResponse") = make_model(
        base, module_name, "GenericMessageResponse", "Generic success/error message response",
        {{"message", str_type},
         {"status", str_type, nb::str("success")},
         {"details", typing.attr("Optional")[record], nb::none()}});
}

} // namespace

KELVORA_MODULE(rowplane, m) {
    m.attr("__doc__") = module_doc;
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char* name :
         {"Any", "Callable", "Dict", "List", "Optional", "Type", "TYPE_CHECKING"})
        m.attr(name) = typing.attr(name);
    // Without FastAPI or Pydantic the module still imports, with FASTAPI_AVAILABLE false and the
    // framework names bound to None.
    import_framework(m,
                     {"APIRouter", "Depends", "HTTPException", "Query", "Body", "run_in_threadpool",
                      "BaseModel"},
                     {"APIRouter", "Depends", "HTTPException", "Query", "Body", "BaseModel"});
    m.attr("FASTAPI_AVAILABLE") = nb::bool_(framework().available);
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    if (framework().available) define_models(m);
    m.attr("create_crud_router") = make_create_crud_router(m);
}
