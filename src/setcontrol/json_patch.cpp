// Differences between two configurations: an RFC 6902 JSON Patch and a summary of top-level keys.
#include "setcontrol/json_patch.hpp"

#include "native/errors.hpp"
#include "native/guards.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <string>

namespace kelvora::setcontrol {

namespace {

/// One reference token of a JSON Pointer (RFC 6901): `~` as `~0`, `/` as `~1`.
std::string token(nb::handle key) {
    std::string out;
    for (char c : py_format(key)) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out += c;
    }
    return out;
}

bool is_bool(nb::handle value) {
    return PyBool_Check(value.ptr());
}

void add_operation(nb::list& patch, const char* op, const std::string& path, nb::handle value) {
    if (value.is_valid())
        patch.append(ordered({{KELVORA_NAME("op"), nb::str(op)},
                              {KELVORA_NAME("path"), to_str(path)},
                              {KELVORA_NAME("value"), value}}));
    else
        patch.append(
            ordered({{KELVORA_NAME("op"), nb::str(op)}, {KELVORA_NAME("path"), to_str(path)}}));
}

void diff_into(nb::list& patch, const std::string& path, nb::handle before, nb::handle after) {
    RecursionGuard depth(" while comparing configurations");
    if (!PyDict_Check(before.ptr()) || !PyDict_Check(after.ptr())) {
        if (!json_equal(before, after)) add_operation(patch, "replace", path, after);
        return;
    }
    for (auto [key, value] : nb::borrow<nb::dict>(before))
        if (!PyDict_Contains(after.ptr(), key.ptr()))
            add_operation(patch, "remove", path + "/" + token(key), nb::handle());
    for (auto [key, value] : nb::borrow<nb::dict>(after)) {
        PyObject* old = PyDict_GetItemWithError(before.ptr(), key.ptr());
        if (!old && PyErr_Occurred()) raise_pending();
        if (!old)
            add_operation(patch, "add", path + "/" + token(key), value);
        else
            diff_into(patch, path + "/" + token(key), old, value);
    }
}

} // namespace

bool json_equal(nb::handle a, nb::handle b) {
    if (is_bool(a) != is_bool(b)) return false;
    if (PyDict_Check(a.ptr()) && PyDict_Check(b.ptr())) {
        if (PyDict_Size(a.ptr()) != PyDict_Size(b.ptr())) return false;
        for (auto [key, value] : nb::borrow<nb::dict>(a)) {
            PyObject* other = PyDict_GetItemWithError(b.ptr(), key.ptr());
            if (!other && PyErr_Occurred()) raise_pending();
            if (!other || !json_equal(value, other)) return false;
        }
        return true;
    }
    if (PyList_Check(a.ptr()) && PyList_Check(b.ptr())) {
        const Py_ssize_t size = PyList_GET_SIZE(a.ptr());
        if (size != PyList_GET_SIZE(b.ptr())) return false;
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!json_equal(PyList_GET_ITEM(a.ptr(), i), PyList_GET_ITEM(b.ptr(), i))) return false;
        return true;
    }
    if (PyDict_Check(a.ptr()) || PyDict_Check(b.ptr()) || PyList_Check(a.ptr()) ||
        PyList_Check(b.ptr()))
        return false;
    const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (equal < 0) raise_pending();
    return equal;
}

nb::list json_patch(nb::handle before, nb::handle after) {
    nb::list patch;
    diff_into(patch, "", before, after);
    return patch;
}

nb::dict key_summary(nb::handle before, nb::handle after) {
    nb::list added, removed, changed;
    for (auto [key, value] : nb::borrow<nb::dict>(after)) {
        PyObject* old = PyDict_GetItemWithError(before.ptr(), key.ptr());
        if (!old && PyErr_Occurred()) raise_pending();
        if (!old)
            added.append(key);
        else if (!json_equal(old, value))
            changed.append(key);
    }
    for (auto [key, value] : nb::borrow<nb::dict>(before))
        if (!PyDict_Contains(after.ptr(), key.ptr())) removed.append(key);
    return ordered({{KELVORA_NAME("added"), added},
                    {KELVORA_NAME("removed"), removed},
                    {KELVORA_NAME("changed"), changed}});
}

} // namespace kelvora::setcontrol
