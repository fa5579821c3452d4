// Request bodies given as host models, turned into plain dicts.
#include "native/models.hpp"

#include "native/errors.hpp"
#include "native/names.hpp"

namespace kelvora {

using namespace nb::literals;

bool lookup_attribute(nb::handle value, nb::handle name, nb::object& result) {
    PyObject* found = nullptr;
    const int status = _PyObject_LookupAttr(value.ptr(), name.ptr(), &found);
    if (status < 0) raise_pending();
    result = nb::steal(found);
    return status == 1;
}

namespace {

/// True when the model's class takes `dict` from Pydantic's BaseModel.
bool inherits_pydantic_dict(nb::handle model) {
    // Only a loaded Pydantic can have made the model; nothing is imported here.
    nb::object pydantic = nb::steal(PyImport_GetModule(KELVORA_NAME("pydantic").ptr()));
    if (!pydantic.is_valid()) {
        if (PyErr_Occurred()) raise_pending();
        return false;
    }
    nb::object base, inherited, own;
    return lookup_attribute(pydantic, KELVORA_NAME("BaseModel"), base) &&
           lookup_attribute(base, KELVORA_NAME("dict"), inherited) &&
           lookup_attribute(model.type(), KELVORA_NAME("dict"), own) && own.is(inherited);
}

} // namespace

nb::object model_as_dict(nb::handle model, bool exclude_none) {
    nb::object method;
    if (inherits_pydantic_dict(model) || !lookup_attribute(model, KELVORA_NAME("dict"), method))
        method = steal_or_raise(PyObject_GetAttr(model.ptr(), KELVORA_NAME("model_dump").ptr()));
    return exclude_none ? method("exclude_none"_a = true) : method();
}

} // namespace kelvora
