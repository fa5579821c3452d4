// Module definition: multi-phase initialisation, once per process, in one interpreter.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

using ModuleBody = void (*)(nb::module_);

/// Executes a module: refuses a second interpreter and a second execution with the exact
/// ImportError texts, prepares the native core, then runs `body` on the module.
int execute_module(PyObject* module, const char* short_name, ModuleBody body) noexcept;

} // namespace kelvora

/// Defines `PyInit_<name>` for a multi-phase module whose execution runs the block that follows.
#define KELVORA_MODULE(name, variable)                                                             \
    static void kelvora_##name##_body(nanobind::module_);                                          \
    static int kelvora_##name##_exec(PyObject* module) {                                           \
        return kelvora::execute_module(module, #name, kelvora_##name##_body);                      \
    }                                                                                              \
    static PyObject* kelvora_##name##_definition = nullptr;                                        \
    extern "C" NB_EXPORT PyObject* PyInit_##name(void) {                                           \
        nanobind::detail::init_singletons();                                                       \
        if (!kelvora_##name##_definition)                                                          \
            kelvora_##name##_definition =                                                          \
                NB_CALL(module_new)(#name, nullptr, (void*)kelvora_##name##_exec, 0);              \
        return kelvora_##name##_definition;                                                        \
    }                                                                                              \
    void kelvora_##name##_body(nanobind::module_ variable)
