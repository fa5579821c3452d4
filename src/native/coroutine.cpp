// Task: C++20 coroutines that Python awaits, and that await Python awaitables.
//
// The Python side is an object that is its own await-iterator, like a native coroutine: Python
// drives it with send/throw/close (or `am_send`). While the C++ body is suspended on a Python
// awaitable, the driver forwards those calls to that awaitable's iterator (yield-from semantics),
// so the body runs under any event loop. Results and exceptions of the awaited iterator resume the
// body through the promise.
#include "native/coroutine.hpp"

#include "native/errors.hpp"

#include <utility>

namespace kelvora {
namespace {

struct CoroutineObject {
    PyObject_HEAD Task::Handle handle;
    PyObject* qualname;
    bool started;
    bool finished;
    bool running;
};

PyTypeObject* coroutine_type = nullptr;
size_t live_coroutines = 0;

CoroutineObject* as_coroutine(PyObject* self) {
    return reinterpret_cast<CoroutineObject*>(self);
}

/// Takes the pending error as a normalised exception instance carrying its traceback.
nb::object fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
}

/// Makes `error` the pending error, without chaining it to whatever is being handled.
void restore_error(nb::object error) {
    PyObject* value = error.release().ptr();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
}

/// `getattr(object, name, None)` as the C API of 3.13 has it: 1 found, 0 absent, -1 error.
int optional_attribute(PyObject* object, const char* name, PyObject** result) {
    *result = PyObject_GetAttrString(object, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

void set_stop_iteration(PyObject* value) {
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
}

/// The await-iterator of an awaitable, as the `await` expression finds it.
PyObject* awaitable_iterator(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable)) return Py_NewRef(awaitable);
    if (PyGen_CheckExact(awaitable)) {
        // A generator marked by types.coroutine is awaitable as it is.
        PyObject* code = PyObject_GetAttrString(awaitable, "gi_code");
        if (!code) return nullptr;
        bool iterable_coroutine =
            reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coroutine) return Py_NewRef(awaitable);
    }
    PyTypeObject* type = Py_TYPE(awaitable);
    unaryfunc am_await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
        return nullptr;
    }
    PyObject* iterator = am_await(awaitable);
    if (!iterator) return nullptr;
    if (PyCoro_CheckExact(iterator)) {
        Py_DECREF(iterator);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iterator)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator)->tp_name);
        Py_DECREF(iterator);
        return nullptr;
    }
    return iterator;
}

/// Ends the coroutine and destroys its C++ frame. The object lets go of the frame first:
/// destroying the frame's locals can run Python code (a `__del__`, a collection) that reaches
/// this object again, and must find it finished, with no frame to traverse.
void end(CoroutineObject* c) {
    c->started = c->finished = true;
    if (Task::Handle handle = std::exchange(c->handle, nullptr)) handle.destroy();
}

PySendResult finish(CoroutineObject* c, PyObject** out) {
    Task::promise_type& promise = c->handle.promise();
    nb::object result = std::move(promise.result);
    nb::object error = std::move(promise.error);
    end(c);
    if (error.is_valid()) {
        if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_StopIteration)) {
            // As in Python, StopIteration must not leak out of a coroutine as its ending.
            PyObject* replacement =
                PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
            if (!replacement) return PYGEN_ERROR;
            PyException_SetCause(replacement, Py_NewRef(error.ptr()));
            PyException_SetContext(replacement, Py_NewRef(error.ptr()));
            error = nb::steal(replacement);
        }
        restore_error(std::move(error));
        return PYGEN_ERROR;
    }
    *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

/// Records how the awaited iterator ended (returned or raised), for the body to resume with.
void settle(Task::promise_type& promise, PySendResult result, PyObject* value) {
    promise.delegate.reset();
    if (result == PYGEN_RETURN)
        promise.received = nb::steal(value);
    else
        promise.error = fetch_error();
}

/// Resumes the body until it suspends on an awaitable that yields, or ends.
PySendResult run(CoroutineObject* c, PyObject** out) {
    Task::promise_type& promise = c->handle.promise();
    for (;;) {
        c->handle.resume();
        if (c->handle.done()) return finish(c, out);
        PyObject* value = nullptr;
        PySendResult result = PyIter_Send(promise.delegate.ptr(), Py_None, &value);
        if (result == PYGEN_NEXT) {
            *out = value;
            return PYGEN_NEXT;
        }
        settle(promise, result, value);
    }
}

PySendResult after_delegate(CoroutineObject* c, PySendResult result, PyObject* value,
                            PyObject** out) {
    if (result == PYGEN_NEXT) {
        *out = value;
        return PYGEN_NEXT;
    }
    settle(c->handle.promise(), result, value);
    return run(c, out);
}

bool refuse_state(CoroutineObject* c) {
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    return false;
}

PySendResult send_into(CoroutineObject* c, PyObject* value, PyObject** out) {
    if (refuse_state(c)) return PYGEN_ERROR;
    if (c->finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    c->running = true;
    PySendResult result;
    if (!c->started) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            c->running = false;
            return PYGEN_ERROR;
        }
        c->started = true;
        result = run(c, out);
    } else {
        PyObject* yielded = nullptr;
        PySendResult sent = PyIter_Send(c->handle.promise().delegate.ptr(), value, &yielded);
        result = after_delegate(c, sent, yielded, out);
    }
    c->running = false;
    return result;
}

PySendResult throw_into(CoroutineObject* c, nb::object error, PyObject** out) {
    if (refuse_state(c)) return PYGEN_ERROR;
    if (c->finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!c->started) {
        // Nothing of the body has run: the coroutine ends with the exception, like Python's.
        end(c);
        restore_error(std::move(error));
        return PYGEN_ERROR;
    }
    c->running = true;
    Task::promise_type& promise = c->handle.promise();
    nb::object delegate = std::move(promise.delegate);
    PySendResult result;
    if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_GeneratorExit)) {
        // Closing: close the awaited iterator first, then unwind the body with GeneratorExit.
        PyObject* close = nullptr;
        if (optional_attribute(delegate.ptr(), "close", &close) < 0) {
            promise.error = fetch_error();
        } else if (close) {
            PyObject* closed = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (closed)
                Py_DECREF(closed);
            else
                error = fetch_error();
        }
        if (!promise.error.is_valid()) promise.error = std::move(error);
        result = run(c, out);
    } else {
        PyObject* throw_method = nullptr;
        if (optional_attribute(delegate.ptr(), "throw", &throw_method) < 0) {
            promise.error = fetch_error();
            result = run(c, out);
        } else if (!throw_method) {
            promise.error = std::move(error);
            result = run(c, out);
        } else {
            PyObject* yielded = PyObject_CallOneArg(throw_method, error.ptr());
            Py_DECREF(throw_method);
            PySendResult thrown = PYGEN_NEXT;
            if (!yielded) {
                thrown = PYGEN_ERROR;
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    // The awaited iterator returned while handling the exception.
                    nb::object stop = fetch_error();
                    yielded = PyObject_GetAttrString(stop.ptr(), "value");
                    thrown = yielded ? PYGEN_RETURN : PYGEN_ERROR;
                }
            }
            promise.delegate = std::move(delegate);
            result = after_delegate(c, thrown, yielded, out);
        }
    }
    c->running = false;
    return result;
}

/// The exception instance a `throw(type[, value[, traceback]])` call describes.
nb::object exception_from(PyObject* type, PyObject* value, PyObject* traceback) {
    nb::object error;
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        error = nb::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        PyObject* made = !value || value == Py_None ? PyObject_CallNoArgs(type)
                         : PyTuple_Check(value)     ? PyObject_Call(type, value, nullptr)
                                                    : PyObject_CallOneArg(type, value);
        if (!made) return {};
        error = nb::steal(made);
        if (!PyExceptionInstance_Check(made)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(made)->tp_name);
            return {};
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not "
                     "%s",
                     Py_TYPE(type)->tp_name);
        return {};
    }
    if (traceback && traceback != Py_None && PyException_SetTraceback(error.ptr(), traceback) < 0)
        return {};
    return error;
}

PyObject* result_of(PySendResult result, PyObject* value) {
    if (result == PYGEN_NEXT) return value;
    if (result == PYGEN_RETURN) {
        set_stop_iteration(value);
        Py_DECREF(value);
    }
    return nullptr;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return send_into(as_coroutine(self), arg, out);
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult result = send_into(as_coroutine(self), arg, &value);
    return result_of(result, value);
}

PyObject* coroutine_iternext(PyObject* self) {
    PyObject* value = nullptr;
    PySendResult result = send_into(as_coroutine(self), Py_None, &value);
    if (result == PYGEN_RETURN && value == Py_None) {
        Py_DECREF(value);
        return nullptr; // exhausted, with None as the result
    }
    return result_of(result, value);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at %s, got %zd",
                     nargs < 1 ? "least 1 argument" : "most 3 arguments", nargs);
        return nullptr;
    }
    nb::object error =
        exception_from(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (!error.is_valid()) return nullptr;
    PyObject* value = nullptr;
    PySendResult result = throw_into(as_coroutine(self), std::move(error), &value);
    return result_of(result, value);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->started || c->finished) {
        if (refuse_state(c)) return nullptr;
        end(c);
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* value = nullptr;
    PySendResult result = throw_into(c, nb::steal(exit), &value);
    if (result == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (result == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coroutine_await(PyObject* self) {
    return Py_NewRef(self);
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->finished) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!c->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             c->qualname) < 0)
            PyErr_WriteUnraisable(self);
    }
    PyObject* closed = coroutine_close(self, nullptr);
    if (closed)
        Py_DECREF(closed);
    else
        PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, traceback);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->qualname);
    if (c->handle) {
        Task::promise_type& promise = c->handle.promise();
        Py_VISIT(promise.delegate.ptr());
        Py_VISIT(promise.awaited.ptr());
        Py_VISIT(promise.received.ptr());
        Py_VISIT(promise.result.ptr());
        Py_VISIT(promise.error.ptr());
        for (nb::object* parameter : promise.parameters)
            if (parameter) Py_VISIT(parameter->ptr());
    }
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->handle && !c->running) end(c);
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return; // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoroutineObject* c = as_coroutine(self);
    end(c);
    Py_CLEAR(c->qualname);
    --live_coroutines;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->qualname);
}

PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->running);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coroutine_throw)),
     METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "kelvora.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

} // namespace

bool Task::Awaiter::await_ready() {
    PyObject* iterator = awaitable_iterator(promise.awaited.ptr());
    promise.awaited.reset();
    if (!iterator) {
        promise.error = fetch_error();
        return true; // not suspended: await_resume raises right away
    }
    promise.delegate = nb::steal(iterator);
    return false;
}

nb::object Task::Awaiter::await_resume() {
    if (promise.error.is_valid()) {
        restore_error(std::move(promise.error));
        throw nb::python_error();
    }
    return std::move(promise.received);
}

void Task::promise_type::unhandled_exception() {
    restore_current_exception();
    error = fetch_error();
}

nb::object start(Task&& task, nb::handle qualname) {
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!c) raise_pending();
    c->handle = task.handle_;
    task.handle_ = nullptr;
    c->qualname = Py_NewRef(qualname.ptr());
    c->started = c->finished = c->running = false;
    ++live_coroutines;
    PyObject_GC_Track(c);
    return nb::steal(reinterpret_cast<PyObject*>(c));
}

Task completed(nb::object value) {
    co_return value;
}

void init_coroutine_type() {
    if (!coroutine_type)
        coroutine_type = reinterpret_cast<PyTypeObject*>(
            steal_or_raise(PyType_FromSpec(&coroutine_spec)).release().ptr());
}

size_t live_coroutine_count() {
    return live_coroutines;
}

} // namespace kelvora
