// Pydantic models: the response models the router modules declare, and host models turned into
// plain dicts.
#include "native/models.hpp"

#include "native/attributes.hpp"
#include "native/classes.hpp"
#include "native/errors.hpp"
#include "native/names.hpp"

namespace kelvora {

using namespace nb::literals;

nb::object make_model(nb::handle base_model, const char* module, const char* name, const char* doc,
                      std::initializer_list<ModelField> fields) {
    nb::dict annotations;
    Members members{{"__annotations__", annotations}};
    for (const ModelField& field : fields) {
        annotations[field.name] = field.type;
        if (field.default_value.is_valid()) members.emplace_back(field.name, field.default_value);
    }
    return make_class(base_model.type(), nb::make_tuple(base_model), module, name, doc, members);
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
