// Parameter lists of native functions and the binding of call arguments to them.
#include "native/arguments.hpp"

#include "native/errors.hpp"
#include "native/literals.hpp"

#include <string>

namespace kelvora {

ParameterList::ParameterList(const char* function_name, std::vector<Parameter> parameters)
    : name_(function_name), parameters_(std::move(parameters)) {
    if (parameters_.size() > max_parameters) throw std::length_error("too many parameters");
    for (size_t i = 0; i < parameters_.size(); ++i) {
        const Parameter& p = parameters_[i];
        names_.push_back(nb::steal(PyUnicode_InternFromString(p.name)));
        if (p.kind == Kind::PositionalOrKeyword) ++positional_count_;
        if (p.kind == Kind::VarKeyword) var_keyword_ = static_cast<int>(i);
    }
}

void ParameterList::raise_count(size_t required, size_t given) const {
    // "exactly" when every positional parameter is required, otherwise the bound that was missed.
    const char* bound = "exactly";
    size_t expected = positional_count_;
    if (required != positional_count_) {
        bound = given < required ? "at least" : "at most";
        expected = given < required ? required : positional_count_;
    }
    raise(PyExc_TypeError, name_ + "() takes " + bound + " " + std::to_string(expected) +
                               " positional argument" + (expected == 1 ? "" : "s") + " (" +
                               std::to_string(given) + " given)");
}

void ParameterList::raise_keyword(const char* text, nb::handle name) const {
    raise(PyExc_TypeError, name_ + "() " + text + " '" + utf8(name) + "'");
}

int ParameterList::find(PyObject* name, size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i)
        if (names_[i].ptr() == name) return static_cast<int>(i);
    for (size_t i = from; i < to; ++i) {
        int equal = PyUnicode_Compare(names_[i].ptr(), name);
        if (equal == 0) return static_cast<int>(i);
        if (equal == -1 && PyErr_Occurred()) raise_pending();
    }
    return -1;
}

void ParameterList::bind(PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject* defaults,
                         PyObject* kwdefaults, Arguments& out) const {
    const size_t default_count = defaults ? static_cast<size_t>(PyTuple_GET_SIZE(defaults)) : 0;
    const size_t required = positional_count_ - default_count;
    if (nargs > positional_count_) raise_count(required, nargs);
    for (size_t i = 0; i < nargs; ++i)
        out.at(i) = nb::borrow(args[i]);

    // Keywords fill the parameters not given by position; the first keyword that names a
    // parameter already given, or no parameter at all, is reported after the count check.
    if (var_keyword_ >= 0) out.at(var_keyword_) = out.keywords() = nb::dict();
    PyObject* repeated = nullptr;
    PyObject* unexpected = nullptr;
    const size_t kwcount = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    for (size_t k = 0; k < kwcount; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int index = find(key, nargs, parameters_.size());
        if (index >= 0 && parameters_[index].kind != Kind::VarKeyword) {
            out.at(index) = nb::borrow(value);
        } else if (find(key, 0, nargs) >= 0) {
            if (!repeated && !unexpected) repeated = key;
        } else if (var_keyword_ >= 0) {
            if (PyDict_SetItem(out.keywords().ptr(), key, value)) raise_pending();
        } else if (!repeated && !unexpected) {
            unexpected = key;
        }
    }

    for (size_t i = nargs; i < positional_count_; ++i) {
        if (out[i].is_valid()) continue;
        if (i < required) raise_count(required, i);
        out.at(i) = nb::borrow(PyTuple_GET_ITEM(defaults, i - required));
    }
    if (repeated) raise_keyword("got multiple values for keyword argument", repeated);
    if (unexpected) raise_keyword("got an unexpected keyword argument", unexpected);

    for (size_t i = positional_count_; i < parameters_.size(); ++i) {
        if (parameters_[i].kind != Kind::KeywordOnly || out[i].is_valid()) continue;
        PyObject* value =
            kwdefaults ? PyDict_GetItemWithError(kwdefaults, names_[i].ptr()) : nullptr;
        if (!value) {
            if (PyErr_Occurred()) raise_pending();
            raise(PyExc_TypeError, name_ + "() needs keyword-only argument " + parameters_[i].name);
        }
        out.at(i) = nb::borrow(value);
    }

    for (size_t i = 0; i < parameters_.size(); ++i)
        if (parameters_[i].check == Check::Integer)
            out.at(i) = check_argument(parameters_[i], out[i]);
    for (size_t i = 0; i < parameters_.size(); ++i)
        if (parameters_[i].check != Check::Integer && parameters_[i].check != Check::None &&
            parameters_[i].kind != Kind::VarKeyword)
            check_argument(parameters_[i], out[i]);
}

nb::object check_argument(const Parameter& parameter, nb::handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    switch (parameter.check) {
    case Check::None:
        break;
    case Check::ExactStr:
        if (type != &PyUnicode_Type) raise_argument_type(parameter.name, "str", value);
        break;
    case Check::ExactDict:
        if (type != &PyDict_Type) raise_argument_type(parameter.name, "dict", value);
        break;
    case Check::ExactList:
        if (type != &PyList_Type) raise_argument_type(parameter.name, "list", value);
        break;
    case Check::DictOrNone:
    case Check::ListOrNone:
        ParameterList::check_return(parameter.check, value);
        break;
    case Check::Integer:
        if (type == &PyLong_Type) break;
        if (type->tp_as_number && (type->tp_as_number->nb_int || type->tp_as_number->nb_index))
            return steal_or_raise(PyNumber_Long(value.ptr()));
        raise_argument_type(parameter.name, "int", value);
    }
    return nb::borrow(value);
}

void ParameterList::check_return(Check check, nb::handle value) {
    if (value.is_none()) return;
    if (check == Check::DictOrNone && !PyDict_CheckExact(value.ptr()))
        raise_unexpected_type("dict", value);
    if (check == Check::ListOrNone && !PyList_CheckExact(value.ptr()))
        raise_unexpected_type("list", value);
}

} // namespace kelvora
