// The framework record: the FastAPI and Pydantic objects the router modules use, imported once
// when a module executes, under the guarded-import rule.
#include "native/framework.hpp"

#include "native/attributes.hpp"
#include "native/errors.hpp"

#include <cstring>

namespace kelvora {

namespace {

Framework& record() {
    // Never destroyed: its references must not be released after the interpreter is gone.
    static Framework* instance = new Framework();
    return *instance;
}

/// The record's object bound under a module-level name.
nb::handle named(const Framework& fw, const char* name) {
    const std::pair<const char*, const nb::object*> objects[] = {
        {"APIRouter", &fw.api_router},
        {"Depends", &fw.depends},
        {"HTTPException", &fw.http_exception},
        {"Body", &fw.body},
        {"Query", &fw.query},
        {"run_in_threadpool", &fw.run_in_threadpool},
        {"BaseModel", &fw.base_model},
    };
    for (const auto& [text, object] : objects)
        if (std::strcmp(text, name) == 0) return *object;
    raise(PyExc_SystemError, std::string("no framework object is named ") + name);
}

} // namespace

const Framework& framework() {
    return record();
}

void import_framework(nb::handle module, std::initializer_list<const char*> names,
                      std::initializer_list<const char*> names_when_absent) {
    Framework imported;
    try {
        nb::module_ fastapi = nb::module_::import_("fastapi");
        imported.api_router = import_from(fastapi, "APIRouter");
        imported.depends = import_from(fastapi, "Depends");
        imported.http_exception = import_from(fastapi, "HTTPException");
        imported.body = import_from(fastapi, "Body");
        imported.query = import_from(fastapi, "Query");
        imported.path = import_from(fastapi, "Path");
        imported.run_in_threadpool =
            import_from(nb::module_::import_("fastapi.concurrency"), "run_in_threadpool");
        imported.json_response =
            import_from(nb::module_::import_("fastapi.responses"), "JSONResponse");
        imported.jsonable_encoder =
            import_from(nb::module_::import_("fastapi.encoders"), "jsonable_encoder");
        imported.base_model = import_from(nb::module_::import_("pydantic"), "BaseModel");
        imported.available = true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        for (const char* name : names_when_absent)
            nb::setattr(module, name, nb::none());
        record() = Framework();
        return;
    }
    for (const char* name : names)
        nb::setattr(module, name, named(imported, name));
    record() = std::move(imported);
}

} // namespace kelvora
