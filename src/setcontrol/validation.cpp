// Validation of a configuration before it is stored: a JSON Schema, or the router's model.
#include "setcontrol/validation.hpp"

#include "native/calls.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

#include <string>

namespace kelvora::setcontrol {

namespace {

/// A JSON Pointer (RFC 6901) of the keys and indices in `path`, "/" for the whole document.
std::string pointer_of(nb::handle path) {
    std::string pointer;
    for (nb::handle step : path) {
        pointer += '/';
        for (char c : py_format(step)) {
            if (c == '~')
                pointer += "~0";
            else if (c == '/')
                pointer += "~1";
            else
                pointer += c;
        }
    }
    return pointer.empty() ? "/" : pointer;
}

[[noreturn]] void refuse(const std::string& pointer, const std::string& reason) {
    raise_http_error(422, "Invalid configuration at " + pointer + ": " + reason);
}

} // namespace

nb::object schema_validator(nb::handle schema) {
    if (schema.is_none()) return nb::none();
    nb::module_ validators = nb::module_::import_("jsonschema.validators");
    nb::object validator_class = validators.attr("validator_for")(schema);
    validator_class.attr("check_schema")(schema);
    return validator_class(schema);
}

void validate_config(const ControlRouter& r, nb::handle payload) {
    if (!r.validator.is_none()) {
        nb::object best_match = nb::module_::import_("jsonschema.exceptions").attr("best_match");
        nb::object error = best_match(r.validator.attr("iter_errors")(payload));
        if (!error.is_none())
            refuse(pointer_of(error.attr("absolute_path")), py_format(error.attr("message")));
    }
    if (is_true(r.config_model)) {
        try {
            call_method(r.config_model, KELVORA_NAME("model_validate"), payload);
        } catch (nb::python_error& e) {
            nb::object validation_error = nb::module_::import_("pydantic").attr("ValidationError");
            if (!e.matches(validation_error)) throw;
            nb::object first = call_method(e.value(), KELVORA_NAME("errors"))[0];
            refuse(pointer_of(first["loc"]), py_format(first["msg"]));
        }
    }
}

} // namespace kelvora::setcontrol
