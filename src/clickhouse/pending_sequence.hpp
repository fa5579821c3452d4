// Tuples and lists of decoded values that Python code cannot reach before they are whole.
#pragma once

#include "clickhouse/rows.hpp"

#include "native/errors.hpp"

#include <nanobind/nanobind.h>

#include <utility>

namespace kelvora::clickhouse {

namespace nb = nanobind;

/// A new tuple or list kept out of the garbage collector's sight while its items are read.
/// Reading a value can run Python code (a tzinfo's `fromutc`, the `Decimal` and `UUID` classes, a
/// collection's callbacks and finalizers), and such code reaches every tracked container through
/// `gc.get_objects()`, where an unfilled slot (NULL) breaks whatever touches it. So the container
/// is tracked only once it is whole, as the C API asks of containers (`PyObject_GC_Track`), and
/// nothing else refers to it meanwhile. Dropped unfinished, it is freed with its empty slots.
class PendingSequence {
public:
    // A new list is tracked, and so is a new tuple but the empty one: it is shared, never
    // tracked, and has no slot to fill.
    static PendingSequence tuple(Py_ssize_t size) {
        return PendingSequence(PyTuple_New(size), size > 0);
    }
    static PendingSequence list(Py_ssize_t size) { return PendingSequence(PyList_New(size), true); }
    /// A row of an answer (a tuple that also reads by name), of the answer's `shape`.
    static PendingSequence row(nb::handle shape, Py_ssize_t size) {
        return PendingSequence(new_row(shape, size), size > 0);
    }
    PendingSequence(const PendingSequence&) = delete;
    PendingSequence& operator=(const PendingSequence&) = delete;

    void set_tuple_item(Py_ssize_t i, nb::object item) {
        PyTuple_SET_ITEM(sequence_.ptr(), i, item.release().ptr());
    }
    void set_list_item(Py_ssize_t i, nb::object item) {
        PyList_SET_ITEM(sequence_.ptr(), i, item.release().ptr());
    }
    void append(nb::handle item) {
        if (PyList_Append(sequence_.ptr(), item.ptr())) raise_pending();
    }

    /// The whole sequence, in the collector's sight again; but a tuple or row of values that can
    /// hold no reference cycle (numbers, strings, dates, ... and such tuples) stays out of it, as
    /// the collector itself leaves such tuples once it met them, so that a large answer's rows do
    /// not make every collection meanwhile longer.
    nb::object finish() {
        if (tracked_ && !(PyTuple_Check(sequence_.ptr()) && holds_no_cycle()))
            PyObject_GC_Track(sequence_.ptr());
        tracked_ = false;
        return std::move(sequence_);
    }

private:
    PendingSequence(PyObject* sequence, bool tracked)
        : sequence_(steal_or_raise(sequence)), tracked_(tracked) {
        if (tracked_) PyObject_GC_UnTrack(sequence);
    }

    // The collector's own rule for tuples: every item is of an untracked type or an untracked
    // tuple (other untracked containers, dicts, may become tracked later). A row's shape, its
    // hidden slot, refers to no row, so it closes no cycle.
    bool holds_no_cycle() const {
        for (Py_ssize_t i = 0, size = PyTuple_GET_SIZE(sequence_.ptr()); i < size; ++i) {
            PyObject* item = PyTuple_GET_ITEM(sequence_.ptr(), i);
            if (PyType_IS_GC(Py_TYPE(item)) &&
                (!PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item)))
                return false;
        }
        return true;
    }

    nb::object sequence_;
    bool tracked_;
};

} // namespace kelvora::clickhouse
