// Rows of an answer: tuples of the columns' values that are also read by column name. A row is
// a tuple in every way (position, length, equality with a tuple, hashing, its repr), and a
// mapping of its column names to its values for `dict(row)`, `row["name"]`, `keys()`,
// `values()`, `items()` and `get()`. The names are not copied into each row: a row has one slot
// more than its length, which holds the shape its answer's rows share.
#include "clickhouse/rows.hpp"

#include "native/errors.hpp"

#include <cstring>

namespace kelvora::clickhouse {

namespace {

PyTypeObject* row_type = nullptr;
// Shapes by their names tuple; cleared when it grows beyond the statements a process runs.
PyObject* shapes = nullptr;
constexpr Py_ssize_t most_shapes = 4096;

PyObject** items(PyObject* row) {
    return reinterpret_cast<PyTupleObject*>(row)->ob_item;
}

// A shape is the tuple (names, positions): names a tuple of str, positions a dict of each name
// to its first index.
PyObject* shape_of(PyObject* row) {
    return items(row)[Py_SIZE(row)];
}

void row_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (Py_ssize_t i = Py_SIZE(self); i >= 0; --i)
        Py_XDECREF(items(self)[i]);
    type->tp_free(self);
    Py_DECREF(type);
}

int row_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t i = 0; i <= Py_SIZE(self); ++i)
        Py_VISIT(items(self)[i]);
    return 0;
}

PyObject* row_subscript(PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) return PyTuple_Type.tp_as_mapping->mp_subscript(self, key);
    PyObject* at = PyDict_GetItemWithError(PyTuple_GET_ITEM(shape_of(self), 1), key);
    if (!at) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return Py_NewRef(PyTuple_GET_ITEM(self, PyLong_AsSsize_t(at)));
}

PyObject* row_keys(PyObject* self, PyObject*) {
    return Py_NewRef(PyTuple_GET_ITEM(shape_of(self), 0));
}

PyObject* row_values(PyObject* self, PyObject*) {
    return PyTuple_GetSlice(self, 0, Py_SIZE(self));
}

PyObject* row_items(PyObject* self, PyObject*) {
    PyObject* names = PyTuple_GET_ITEM(shape_of(self), 0);
    PyObject* pairs = PyList_New(Py_SIZE(self));
    if (!pairs) return nullptr;
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) {
        PyObject* pair = PyTuple_Pack(2, PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(self, i));
        if (!pair) {
            Py_DECREF(pairs);
            return nullptr;
        }
        PyList_SET_ITEM(pairs, i, pair);
    }
    return pairs;
}

PyObject* row_get(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count < 1 || count > 2) {
        PyErr_Format(PyExc_TypeError, "get expected 1 or 2 arguments, got %zd", count);
        return nullptr;
    }
    PyObject* fallback = count == 2 ? args[1] : Py_None;
    if (!PyUnicode_Check(args[0])) return Py_NewRef(fallback);
    PyObject* at = PyDict_GetItemWithError(PyTuple_GET_ITEM(shape_of(self), 1), args[0]);
    if (!at) return PyErr_Occurred() ? nullptr : Py_NewRef(fallback);
    return Py_NewRef(PyTuple_GET_ITEM(self, PyLong_AsSsize_t(at)));
}

// Copied or pickled, a row is the plain tuple of its values: its names belong to its answer.
PyObject* row_reduce(PyObject* self, PyObject*) {
    PyObject* values = row_values(self, nullptr);
    if (!values) return nullptr;
    return Py_BuildValue("(O(N))", reinterpret_cast<PyObject*>(&PyTuple_Type), values);
}

PyMethodDef row_methods[] = {
    {"keys", row_keys, METH_NOARGS, "The column names, in order."},
    {"values", row_values, METH_NOARGS, "The values, in order, as a tuple."},
    {"items", row_items, METH_NOARGS, "(name, value) pairs, in order."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_get)), METH_FASTCALL,
     "The value of the named column, or `default` (None) where there is none."},
    {"__reduce__", row_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

void init_rows() {
    PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("A row of an answer: the tuple of its values, also read by column name "
                           "(row[\"id\"], dict(row), keys(), values(), items(), get()).")},
        {Py_tp_dealloc, reinterpret_cast<void*>(row_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(row_traverse)},
        {Py_mp_subscript, reinterpret_cast<void*>(row_subscript)},
        {Py_tp_methods, row_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "kelvora._clickhouse.Row",
        static_cast<int>(PyTuple_Type.tp_basicsize),
        static_cast<int>(PyTuple_Type.tp_itemsize),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyObject* bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyTuple_Type));
    if (!bases) raise_pending();
    PyObject* type = PyType_FromSpecWithBases(&spec, bases);
    Py_DECREF(bases);
    if (!type) raise_pending();
    row_type = reinterpret_cast<PyTypeObject*>(type);
    shapes = PyDict_New();
    if (!shapes) raise_pending();
}

nb::handle row_class() {
    return reinterpret_cast<PyObject*>(row_type);
}

nb::object row_shape(const std::vector<std::string_view>& names) {
    nb::object key = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* name = PyUnicode_DecodeUTF8(
            names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "surrogateescape");
        if (!name) raise_pending();
        PyTuple_SET_ITEM(key.ptr(), static_cast<Py_ssize_t>(i), name);
    }
    if (PyObject* known = PyDict_GetItemWithError(shapes, key.ptr())) return nb::borrow(known);
    if (PyErr_Occurred()) raise_pending();
    nb::object positions = steal_or_raise(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key.ptr()); ++i) {
        nb::object at = steal_or_raise(PyLong_FromSsize_t(i));
        if (!PyDict_SetDefault(positions.ptr(), PyTuple_GET_ITEM(key.ptr(), i), at.ptr()))
            raise_pending();
    }
    nb::object shape = steal_or_raise(PyTuple_Pack(2, key.ptr(), positions.ptr()));
    if (PyDict_GET_SIZE(shapes) >= most_shapes) PyDict_Clear(shapes);
    if (PyDict_SetItem(shapes, key.ptr(), shape.ptr())) raise_pending();
    return shape;
}

PyObject* new_row(nb::handle shape, Py_ssize_t size) {
    // One slot more than the row's length, for its shape; the length then hides it.
    PyTupleObject* row = PyObject_GC_NewVar(PyTupleObject, row_type, size + 1);
    if (!row) raise_pending();
    std::memset(row->ob_item, 0, sizeof(PyObject*) * static_cast<size_t>(size));
    row->ob_item[size] = Py_NewRef(shape.ptr());
    Py_SET_SIZE(row, size);
    return reinterpret_cast<PyObject*>(row);
}

} // namespace kelvora::clickhouse
