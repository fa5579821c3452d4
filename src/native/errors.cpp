// Raising Python exceptions from C++ and turning C++ exceptions back into the Python error state.
#include "native/errors.hpp"

#include "native/literals.hpp"

#include <new>
#include <stdexcept>

namespace kelvora {

std::string python_type_name(nb::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

void raise(PyObject* type, const std::string& text) {
    // Texts may hold NULs and passed-through surrogates of the values they quote.
    PyErr_SetObject(type, to_str(text).ptr());
    throw nb::python_error();
}

void raise_object(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

void raise_argument_type(const char* name, const char* expected, nb::handle given) {
    raise(PyExc_TypeError, std::string("Argument '") + name + "' has incorrect type (expected " +
                               expected + ", got " + python_type_name(given) + ")");
}

void raise_unexpected_type(const char* expected, nb::handle given) {
    raise(PyExc_TypeError,
          std::string("Expected ") + expected + ", got " + python_type_name(given));
}

void raise_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "a C-API call failed without setting an error");
    throw nb::python_error();
}

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::type_error:
            type = PyExc_TypeError;
            break;
        case nb::exception_type::value_error:
            type = PyExc_ValueError;
            break;
        case nb::exception_type::key_error:
            type = PyExc_KeyError;
            break;
        case nb::exception_type::index_error:
            type = PyExc_IndexError;
            break;
        case nb::exception_type::stop_iteration:
            type = PyExc_StopIteration;
            break;
        default:
            break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

bool is_ordinary_exception(const nb::python_error& error) {
    return PyObject_IsInstance(error.value().ptr(), PyExc_Exception) == 1;
}

} // namespace kelvora
