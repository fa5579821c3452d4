// Records: dicts built from pairs, and from positional rows (column names paired with a row's
// values, position by position).
#include "native/records.hpp"

#include "native/errors.hpp"

#include <algorithm>

namespace kelvora {

nb::dict ordered(std::initializer_list<std::pair<nb::handle, nb::handle>> entries) {
    nb::object result =
        steal_or_raise(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries.size())));
    for (const auto& [key, value] : entries)
        if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr())) raise_pending();
    return nb::steal<nb::dict>(result.release());
}

nb::object item(nb::handle value, Py_ssize_t index) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) && index < PyTuple_GET_SIZE(v))
        return nb::borrow(PyTuple_GET_ITEM(v, index));
    if (PyList_CheckExact(v) && index < PyList_GET_SIZE(v))
        return nb::borrow(PyList_GET_ITEM(v, index));
    nb::object key = steal_or_raise(PyLong_FromSsize_t(index));
    return steal_or_raise(PyObject_GetItem(value.ptr(), key.ptr()));
}

namespace {

/// Whether a DESCRIBE row is of a column that `SELECT *` leaves out: its default kind (element
/// `[2]`, where the row has one) is MATERIALIZED, ALIAS or EPHEMERAL.
bool left_out_of_select_star(nb::handle row) {
    const Py_ssize_t size = PyObject_Length(row.ptr());
    if (size < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
        PyErr_Clear();
        return false;
    }
    if (size < 3) return false;
    nb::object kind = item(row, 2);
    if (!PyUnicode_Check(kind.ptr())) return false;
    for (const char* computed : {"MATERIALIZED", "ALIAS", "EPHEMERAL"})
        if (PyUnicode_CompareWithASCIIString(kind.ptr(), computed) == 0) return true;
    return false;
}

} // namespace

/// Element `[0]` of the rows that `keep` accepts, in order.
template <typename Keep> nb::list names_of(nb::handle describe_rows, Keep keep) {
    nb::list names;
    nb::object iterator = steal_or_raise(PyObject_GetIter(describe_rows.ptr()));
    while (PyObject* row = PyIter_Next(iterator.ptr())) {
        nb::object owned = nb::steal(row);
        if (keep(owned)) names.append(item(row, 0));
    }
    if (PyErr_Occurred()) raise_pending();
    return names;
}

nb::list column_names(nb::handle describe_rows) {
    return names_of(describe_rows, [](nb::handle) { return true; });
}

nb::list selected_column_names(nb::handle describe_rows) {
    return names_of(describe_rows, [](nb::handle row) { return !left_out_of_select_star(row); });
}

namespace {

/// A tuple of the items of a sequence: the tuple itself, or a snapshot that no code run while
/// the items are used can change.
nb::object snapshot(nb::handle sequence) {
    if (PyTuple_CheckExact(sequence.ptr())) return nb::borrow(sequence);
    return steal_or_raise(PySequence_Tuple(sequence.ptr()));
}

/// `record_from_row` with the column names already a tuple.
nb::dict record_of(nb::handle names, nb::handle row) {
    // Tuples and lists are read in place (a list through a snapshot, as hashing a column name
    // can run Python code that changes it); any other row is read as an iterator.
    const Py_ssize_t name_count = PyTuple_GET_SIZE(names.ptr());
    if (PyTuple_CheckExact(row.ptr()) || PyList_CheckExact(row.ptr())) {
        nb::object values = snapshot(row);
        const Py_ssize_t count = std::min(name_count, PyTuple_GET_SIZE(values.ptr()));
        nb::object record = steal_or_raise(_PyDict_NewPresized(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            if (PyDict_SetItem(record.ptr(), PyTuple_GET_ITEM(names.ptr(), i),
                               PyTuple_GET_ITEM(values.ptr(), i)))
                raise_pending();
        return nb::steal<nb::dict>(record.release());
    }
    nb::dict record;
    nb::object iterator = steal_or_raise(PyObject_GetIter(row.ptr()));
    for (Py_ssize_t i = 0; i < name_count; ++i) {
        PyObject* value = PyIter_Next(iterator.ptr());
        if (!value) break;
        nb::object owned = nb::steal(value);
        if (PyDict_SetItem(record.ptr(), PyTuple_GET_ITEM(names.ptr(), i), value)) raise_pending();
    }
    if (PyErr_Occurred()) raise_pending();
    return record;
}

} // namespace

nb::dict record_from_row(nb::handle columns, nb::handle row) {
    return record_of(snapshot(columns), row);
}

nb::list records_from_rows(nb::handle columns, nb::handle rows) {
    nb::object names = snapshot(columns);
    nb::list records;
    nb::object iterator = steal_or_raise(PyObject_GetIter(rows.ptr()));
    while (PyObject* row = PyIter_Next(iterator.ptr())) {
        nb::object owned = nb::steal(row);
        records.append(record_of(names, row));
    }
    if (PyErr_Occurred()) raise_pending();
    return records;
}

} // namespace kelvora
