// Parameter lists of native functions and the binding of call arguments to them.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kelvora {

namespace nb = nanobind;

/// How a parameter takes its argument, as `inspect.Parameter` kinds.
enum class Kind : uint8_t { PositionalOrKeyword, KeywordOnly, VarKeyword };

/// The check a parameter (or a return value) gets before the body sees it.
enum class Check : uint8_t {
    None,
    ExactStr,   ///< exactly `str`; subclasses and None refused
    ExactDict,  ///< exactly `dict`
    ExactList,  ///< exactly `list`
    Integer,    ///< `int` kept, other numbers converted with `int()`, anything else refused
    DictOrNone, ///< return values: exactly `dict`, or None
    ListOrNone, ///< return values: exactly `list`, or None
};

/// One declared parameter: its name, the annotation text shown in `__annotations__` and
/// `__signature__` (none when null), its check and its kind.
struct Parameter {
    const char* name;
    const char* annotation = nullptr;
    Check check = Check::None;
    Kind kind = Kind::PositionalOrKeyword;
};

inline constexpr size_t max_parameters = 16;

/// Arguments bound to a parameter list, in declaration order; the variadic keyword mapping,
/// when declared, is a fresh dict (empty when no extra keyword was given), found both at its
/// parameter's position and as `keywords()`.
class Arguments {
public:
    nb::handle operator[](size_t index) const { return values_[index]; }
    nb::object& at(size_t index) { return values_[index]; }
    nb::dict& keywords() { return keywords_; }

private:
    std::array<nb::object, max_parameters> values_;
    nb::dict keywords_{nb::steal<nb::dict>(nullptr)};
};

/// A parameter list ready for binding: names interned once, counts precomputed.
class ParameterList {
public:
    ParameterList(const char* function_name, std::vector<Parameter> parameters);

    /// Binds a vectorcall argument vector. Checks come in this order, the first failure being
    /// reported: the count of positional arguments (a required parameter missing counts as too
    /// few), then the keywords, then `int()` conversions, then exact-type checks. `defaults`
    /// holds the values of the trailing positional parameters, `kwdefaults` those of keyword-only
    /// ones.
    void bind(PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject* defaults,
              PyObject* kwdefaults, Arguments& out) const;

    const std::vector<Parameter>& parameters() const { return parameters_; }
    size_t positional_count() const { return positional_count_; }
    bool has_var_keyword() const { return var_keyword_ >= 0; }

    /// Checks a return value against the declared return check; throws the TypeError.
    static void check_return(Check check, nb::handle value);

private:
    [[noreturn]] void raise_count(size_t required, size_t given) const;
    [[noreturn]] void raise_keyword(const char* text, nb::handle name) const;
    int find(PyObject* name, size_t from, size_t to) const;

    std::string name_;
    std::vector<Parameter> parameters_;
    std::vector<nb::object> names_;
    size_t positional_count_ = 0;
    int var_keyword_ = -1;
};

/// Applies a parameter check to one value (used by binding; exposed for bodies that re-check).
nb::object check_argument(const Parameter& parameter, nb::handle value);

} // namespace kelvora
