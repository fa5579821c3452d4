// Function: a Python function whose body is C++.
//
// Instances look like Python functions wherever Python, inspect, typing and FastAPI look: they bind
// as methods, carry the function attributes, and the coroutine variant has a code object flagged
// CO_COROUTINE, which is what `inspect.iscoroutinefunction` tests.
#include "native/function.hpp"

#include "native/errors.hpp"

#include <structmember.h>

#include <memory>
#include <string>

namespace kelvora {
namespace {

using namespace nb::literals;

struct FunctionData {
    nb::object declared_name; ///< the `str` of the name the function was made with
    ParameterList parameters;
    Check return_check;
    std::string return_annotation; // empty when none
    Body body;
    CoroutineBody coroutine;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* signature;
    PyObject* code;
    PyObject* closure;
    FunctionData* data;
};

PyTypeObject* function_type = nullptr;
size_t live_functions = 0;

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

/// `__qualname__`, or the declared name once the collector has cleared the function.
nb::handle qualname_of(FunctionObject* f) {
    return f->qualname ? nb::handle(f->qualname) : nb::handle(f->data->declared_name);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    try {
        Arguments bound;
        f->data->parameters.bind(args, PyVectorcall_NARGS(nargsf), kwnames,
                                 f->defaults == Py_None ? nullptr : f->defaults,
                                 f->kwdefaults == Py_None ? nullptr : f->kwdefaults, bound);
        // The collector may have cleared a function that is still called (from a finalizer,
        // say): it runs with no closure, under its original name.
        nb::handle closure = f->closure ? f->closure : Py_None;
        nb::object result = f->data->coroutine
                                ? start(f->data->coroutine(closure, bound), qualname_of(f))
                                : f->data->body(closure, bound);
        if (f->data->return_check != Check::None)
            ParameterList::check_return(f->data->return_check, result);
        return result.release().ptr();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->signature);
    Py_VISIT(f->code);
    Py_VISIT(f->closure);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->code);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete as_function(self)->data;
    --live_functions;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", qualname_of(as_function(self)).ptr(), self);
}

PyObject* get_name(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return Py_NewRef(f->name ? f->name : f->data->declared_name.ptr());
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(qualname_of(as_function(self)).ptr());
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, value == Py_None ? nullptr : Py_XNewRef(value));
    return 0;
}

// The signature inspect reports, built on first use so that importing a module needs no inspect.
nb::object build_signature(FunctionObject* f) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter_type = inspect.attr("Parameter");
    nb::object empty = parameter_type.attr("empty");
    const ParameterList& list = f->data->parameters;
    const bool has_defaults = f->defaults && f->defaults != Py_None;
    const size_t default_count = has_defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const size_t first_default = list.positional_count() - default_count;
    nb::list parameters;
    size_t index = 0;
    for (const Parameter& p : list.parameters()) {
        const char* kind = p.kind == Kind::PositionalOrKeyword ? "POSITIONAL_OR_KEYWORD"
                           : p.kind == Kind::KeywordOnly       ? "KEYWORD_ONLY"
                                                               : "VAR_KEYWORD";
        nb::object default_value = empty;
        if (p.kind == Kind::PositionalOrKeyword && index >= first_default)
            default_value = nb::borrow(PyTuple_GET_ITEM(f->defaults, index - first_default));
        if (p.kind == Kind::KeywordOnly && f->kwdefaults && f->kwdefaults != Py_None) {
            PyObject* value = PyDict_GetItemString(f->kwdefaults, p.name);
            if (value) default_value = nb::borrow(value);
        }
        nb::object annotation = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
        parameters.append(parameter_type(p.name, parameter_type.attr(kind),
                                         "default"_a = default_value, "annotation"_a = annotation));
        ++index;
    }
    const std::string& returns = f->data->return_annotation;
    nb::object return_annotation = returns.empty() ? empty : nb::object(nb::str(returns.c_str()));
    return inspect.attr("Signature")(parameters, "return_annotation"_a = return_annotation);
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    try {
        if (!f->signature) f->signature = build_signature(f).release().ptr();
        return Py_NewRef(f->signature);
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}
int set_signature(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->signature, Py_XNewRef(value));
    return 0;
}

// A real code object carrying the parameter names and counts; CO_COROUTINE marks the coroutine
// variant for inspect.
nb::object build_code(FunctionObject* f) {
    const ParameterList& list = f->data->parameters;
    nb::list names;
    int kwonly = 0;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    for (const Parameter& p : list.parameters()) {
        names.append(nb::str(p.name));
        if (p.kind == Kind::KeywordOnly) ++kwonly;
        if (p.kind == Kind::VarKeyword) flags |= CO_VARKEYWORDS;
    }
    if (f->data->coroutine) flags |= CO_COROUTINE;
    // The names are set as objects: `__name__`, `__qualname__` and `__module__` may hold text
    // without a UTF-8 form.
    nb::object file_name =
        f->module && PyUnicode_Check(f->module) ? nb::borrow(f->module) : nb::object(nb::str("?"));
    nb::object code = steal_or_raise(reinterpret_cast<PyObject*>(PyCode_NewEmpty("?", "?", 0)));
    return code.attr("replace")(
        "co_argcount"_a = list.positional_count(), "co_kwonlyargcount"_a = kwonly,
        "co_varnames"_a = nb::tuple(names), "co_nlocals"_a = nb::len(names), "co_flags"_a = flags,
        "co_name"_a = nb::steal(get_name(reinterpret_cast<PyObject*>(f), nullptr)),
        "co_qualname"_a = qualname_of(f), "co_filename"_a = file_name);
}

PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    try {
        if (!f->code) f->code = build_code(f).release().ptr();
        return Py_NewRef(f->code);
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kelvora.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* new_text(const char* text) {
    if (!text) return Py_NewRef(Py_None);
    PyObject* result = PyUnicode_FromString(text);
    if (!result) raise_pending();
    return result;
}

} // namespace

void init_function_type() {
    if (!function_type)
        function_type = reinterpret_cast<PyTypeObject*>(
            steal_or_raise(PyType_FromSpec(&function_spec)).release().ptr());
}

nb::object make_function(const FunctionSpec& spec, nb::handle closure, nb::handle defaults,
                         nb::handle kwdefaults) {
    auto data = std::make_unique<FunctionData>(FunctionData{
        nb::str(spec.name), ParameterList(spec.name, spec.parameters), spec.return_check,
        spec.return_annotation ? spec.return_annotation : "", spec.body, spec.coroutine});
    nb::dict annotations;
    for (const Parameter& p : spec.parameters)
        if (p.annotation) annotations[p.name] = p.annotation;
    if (spec.return_annotation) annotations["return"] = spec.return_annotation;

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) raise_pending();
    f->vectorcall = function_vectorcall;
    f->dict = f->name = f->qualname = f->module = f->doc = nullptr;
    f->annotations = f->defaults = f->kwdefaults = f->signature = f->code = nullptr;
    f->closure = Py_NewRef(closure.ptr());
    f->data = data.release();
    ++live_functions;
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(f));
    f->name = new_text(spec.name);
    f->qualname = new_text(spec.qualname ? spec.qualname : spec.name);
    f->module = new_text(spec.module);
    f->doc = new_text(spec.doc);
    f->annotations = annotations.release().ptr();
    f->defaults = Py_NewRef(defaults.ptr());
    f->kwdefaults = Py_NewRef(kwdefaults.ptr());
    PyObject_GC_Track(f);
    return result;
}

size_t live_function_count() {
    return live_functions;
}

} // namespace kelvora
