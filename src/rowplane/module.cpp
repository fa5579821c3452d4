// The module kelvora.rowplane: a generic CRUD REST router over one ClickHouse table.
#include "rowplane/factory.hpp"
#include "rowplane/router.hpp"

#include "native/classes.hpp"
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

/// `from module import name`: a missing name is an ImportError, as the statement makes it.
nb::object import_from(const char* module, const char* name) {
    nb::module_ imported = nb::module_::import_(module);
    PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        std::string text = std::string("cannot import name '") + name + "' from '" + module + "'";
        PyErr_SetString(PyExc_ImportError, text.c_str());
        throw nb::python_error();
    }
    return nb::steal(value);
}

/// The framework: FastAPI and Pydantic, bound to the module's names when both import.
void import_framework(nb::module_ m) {
    Framework& fw = framework();
    const char* fastapi_names[] = {"APIRouter", "Depends", "HTTPException", "Query", "Body"};
    try {
        for (const char* name : fastapi_names)
            m.attr(name) = import_from("fastapi", name);
        m.attr("run_in_threadpool") = import_from("fastapi.concurrency", "run_in_threadpool");
        m.attr("BaseModel") = import_from("pydantic", "BaseModel");
        fw.path = import_from("fastapi", "Path");
        fw.json_response = import_from("fastapi.responses", "JSONResponse");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        for (const char* name : fastapi_names)
            m.attr(name) = nb::none();
        m.attr("BaseModel") = nb::none();
        return;
    }
    fw.api_router = m.attr("APIRouter");
    fw.depends = m.attr("Depends");
    fw.http_exception = m.attr("HTTPException");
    fw.query = m.attr("Query");
    fw.run_in_threadpool = m.attr("run_in_threadpool");
    fw.available = true;
}

/// The two response models, Pydantic models declared as a class statement would declare them.
void define_models(nb::module_ m) {
    nb::object base = m.attr("BaseModel");
    nb::object typing = nb::module_::import_("typing");
    nb::handle int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    nb::handle str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::object record = typing.attr("Dict")[nb::make_tuple(str_type, typing.attr("Any"))];

    nb::dict list_fields;
    list_fields["total"] = int_type;
    list_fields["items"] = typing.attr("List")[record];
    list_fields["limit"] = int_type;
    list_fields["offset"] = int_type;
    m.attr("GenericListResponse") =
        make_class(base.type(), nb::make_tuple(base), module_name, "GenericListResponse",
                   "Generic paginated list response", {{"__annotations__", list_fields}});

    nb::dict message_fields;
    message_fields["message"] = str_type;
    message_fields["status"] = str_type;
    message_fields["details"] = typing.attr("Optional")[record];
    m.attr("GenericMessageResponse") =
        make_class(base.type(), nb::make_tuple(base), module_name, "GenericMessageResponse",
                   "Generic success/error message response",
                   {{"__annotations__", message_fields},
                    {"status", nb::str("success")},
                    {"details", nb::none()}});

    Framework& fw = framework();
    fw.list_response = m.attr("GenericListResponse");
    fw.message_response = m.attr("GenericMessageResponse");
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
    import_framework(m);
    m.attr("FASTAPI_AVAILABLE") = nb::bool_(framework().available);
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    if (framework().available) define_models(m);
    m.attr("create_crud_router") = make_create_crud_router();

    Framework& fw = framework();
    fw.logger = m.attr("logger");
    fw.datetime = m.attr("datetime");
    init_router_type();
}
