// The framework record: the FastAPI and Pydantic objects the router modules use, imported once
// when a module executes, under the guarded-import rule.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace kelvora {

namespace nb = nanobind;

/// `available` is false when FastAPI or Pydantic cannot be imported; the objects are then unset.
struct Framework {
    bool available = false;
    nb::object api_router, depends, http_exception, body, query, path, run_in_threadpool;
    nb::object json_response, jsonable_encoder, base_model;
};

/// The record of this module, filled by `import_framework`; kept for the life of the process.
const Framework& framework();

/// Imports the framework into the record, and binds each of `names` (among "APIRouter",
/// "Depends", "HTTPException", "Body", "Query", "run_in_threadpool" and "BaseModel") as an
/// attribute of `module`, in that order. When an import fails with ImportError the module still
/// executes: the record is unavailable and each of `names_when_absent` is bound to None.
void import_framework(nb::handle module, std::initializer_list<const char*> names,
                      std::initializer_list<const char*> names_when_absent);

} // namespace kelvora
