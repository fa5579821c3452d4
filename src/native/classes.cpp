// Python classes assembled from native functions, as a class statement would make them.
#include "native/classes.hpp"

namespace kelvora {

nb::object make_class(nb::handle metaclass, nb::handle bases, const char* module, const char* name,
                      const char* doc, const Members& members) {
    nb::dict namespace_;
    namespace_["__module__"] = module;
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    for (const auto& [member_name, value] : members)
        namespace_[member_name] = value;
    return metaclass(name, bases, namespace_);
}

nb::object make_plain_class(const char* module, const char* name, const char* doc,
                            const Members& members) {
    nb::handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    nb::handle object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    return make_class(type, nb::make_tuple(object), module, name, doc, members);
}

nb::object make_runtime_protocol(nb::handle typing, const char* module, const char* name,
                                 const char* doc, const Members& members) {
    nb::object protocol = typing.attr("Protocol");
    nb::object cls =
        make_class(protocol.type(), nb::make_tuple(protocol), module, name, doc, members);
    return typing.attr("runtime_checkable")(cls);
}

} // namespace kelvora
