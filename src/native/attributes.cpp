// Looking up attributes and importing names, with the errors Python's own statements raise.
#include "native/attributes.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <string>

namespace kelvora {

bool lookup_attribute(nb::handle value, nb::handle name, nb::object& result) {
    PyObject* found = nullptr;
    const int status = _PyObject_LookupAttr(value.ptr(), name.ptr(), &found);
    if (status < 0) raise_pending();
    result = nb::steal(found);
    return status == 1;
}

nb::object import_from(nb::handle module, const char* name) {
    nb::object found;
    if (lookup_attribute(module, nb::str(name), found)) return found;
    // The module's name and file are read as objects: either may be text without a UTF-8 form.
    std::string module_name = "<unknown module name>";
    if (nb::object text = nb::steal(PyModule_GetNameObject(module.ptr())); text.is_valid())
        module_name = utf8(text);
    else
        PyErr_Clear();
    std::string location = "unknown location";
    if (nb::object file = nb::steal(PyModule_GetFilenameObject(module.ptr())); file.is_valid())
        location = utf8(file);
    else
        PyErr_Clear();
    raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module_name +
                                 "' (" + location + ")");
}

nb::object module_global(nb::handle module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(value);
}

} // namespace kelvora
