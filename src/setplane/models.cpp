// The response models of the config router: Pydantic models made when the module is executed.
#include "setplane/models.hpp"

#include "setplane/router.hpp"

#include "native/models.hpp"

namespace kelvora::setplane {

void add_response_models(nb::module_ m) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::handle base_model = m.attr("BaseModel");
    nb::object text = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::object number = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object optional_text = typing.attr("Optional")[text];
    nb::object json_object = typing.attr("Dict")[nb::make_tuple(text, typing.attr("Any"))];
    nb::object success = nb::str("success");

    nb::object version_info =
        make_model(base_model, module_name, "ConfigVersionInfo", "Config version information",
                   {{"config_name", text},
                    {"environment", text},
                    {"version", number},
                    {"updated_at", optional_text, nb::none()}});
    m.attr("ConfigVersionInfo") = version_info;
    m.attr("ConfigVersionsResponse") =
        make_model(base_model, module_name, "ConfigVersionsResponse", "List of config versions",
                   {{"status", text, success},
                    {"total_versions", number},
                    {"versions", typing.attr("List")[version_info]}});
    m.attr("ConfigVersionDetailResponse") = make_model(
        base_model, module_name, "ConfigVersionDetailResponse", "Detailed config version",
        {{"status", text, success},
         {"version", number},
         {"updated_at", optional_text, nb::none()},
         {"config", json_object}});
    m.attr("ConfigReloadResponse") =
        make_model(base_model, module_name, "ConfigReloadResponse", "Config reload response",
                   {{"status", text, success},
                    {"message", text},
                    {"config", typing.attr("Optional")[json_object], nb::none()}});
}

} // namespace kelvora::setplane
