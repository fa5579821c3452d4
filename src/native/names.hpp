// Interned names for attributes and keys used on every call.
#pragma once

#include <nanobind/nanobind.h>

/// The interned `str` for a literal name, made on first use and kept for the life of the process,
/// so hot paths neither build nor hash the name again.
#define KELVORA_NAME(text)                                                                         \
    ([]() -> ::nanobind::handle {                                                                  \
        static PyObject* interned = PyUnicode_InternFromString(text);                              \
        return interned;                                                                           \
    }())
