// The parameters FastAPI sees on the CRUD handlers: key columns as path parameters, filterable
// fields as optional query parameters, each under a name a Python parameter can have.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace kelvora::rowplane {

namespace nb = nanobind;

/// True for the names a route path can carry as a parameter: a letter or underscore, then
/// letters, digits and underscores (ASCII).
bool is_path_parameter_name(const std::string& name);

/// One column as FastAPI sees it: `name` is the handler's parameter, `column` the name in the
/// request (its alias when the two differ).
struct RouteParameter {
    nb::object name, column;
    nb::object annotation; ///< the models' annotation of the column; unset when none has one
    bool renamed() const { return !name.equal(column); }
};

class RouteParameters {
public:
    /// Key columns must pass `is_path_parameter_name`. Filterable fields that are not non-empty
    /// `str`, repeat an earlier one, or are named limit or offset (the paging parameters) get no
    /// query parameter. A column that one of `models` (a sequence of model classes or None, the
    /// first declaring the column deciding) annotates is declared with that annotation, so the
    /// framework checks and converts its value; any other is text.
    RouteParameters(const std::vector<nb::object>& pk_names, nb::handle filterable_fields,
                    nb::handle models);

    /// Fresh `inspect.Parameter`s (keyword-only) for the key columns / the filterable fields.
    nb::list keys() const;
    nb::list filters() const;

    /// Parameter name -> column name, for the parameters renamed.
    nb::dict key_renames() const;
    nb::dict filter_renames() const;

private:
    std::vector<RouteParameter> keys_, filters_;
};

} // namespace kelvora::rowplane
