// Module definition: multi-phase initialisation, once per process, in one interpreter.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

using ModuleBody = void (*)(nb::module_);

/// Executes a module: refuses a second interpreter and a second execution with the exact
/// ImportError texts, prepares the native core, then runs `body` on the module. Only an
/// execution that succeeds counts: after a failure the module can be imported again.
int execute_module(PyObject* module, const char* short_name, ModuleBody body) noexcept;

} // namespace kelvora

/// Defines `PyInit_<name>` for a multi-phase module whose execution runs the block that follows.
///
/// This is nanobind 3.1's own module bootstrap (`NB_MODULE`) with one change: the interpreter
/// and re-execution checks run before nanobind registers the module with its domain, which
/// `NB_MODULE` offers no place for. The package pins nanobind to 3.1.x for that reason.
#define KELVORA_MODULE(name, variable)                                                             \
    static void kelvora_##name##_body(nanobind::module_);                                          \
    static int kelvora_##name##_exec(PyObject* module) {                                           \
        return kelvora::execute_module(module, #name, kelvora_##name##_body);                      \
    }                                                                                              \
    static PyObject* kelvora_##name##_definition = nullptr;                                        \
    extern "C" NB_EXPORT PyObject* PyInit_##name(void) {                                           \
        nanobind::detail::init_singletons();                                                       \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                             \
        if (!kelvora_##name##_definition)                                                          \
            kelvora_##name##_definition = NB_CALL(module_new)(                                     \
                #name, nullptr, (void*)kelvora_##name##_exec, NB_ABI_MINOR_TAG);                   \
        return kelvora_##name##_definition;                                                        \
    }                                                                                              \
    void kelvora_##name##_body(nanobind::module_ variable)
