// The parameters FastAPI sees on the CRUD handlers: key columns as path parameters, filterable
// fields as optional query parameters, each under a name a Python parameter can have.
#include "rowplane/route_parameters.hpp"

#include "rowplane/router.hpp"

#include "native/attributes.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"

#include <set>

namespace kelvora::rowplane {

using namespace nb::literals;

namespace {

bool is_word_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_word_char(char c) {
    return is_word_start(c) || (c >= '0' && c <= '9');
}

/// The parameter names of the handlers themselves, which no column may take over.
const std::set<std::string> key_route_names{"request", "client"};
const std::set<std::string> list_route_names{"limit", "offset", "client"};

class Names {
public:
    explicit Names(std::set<std::string> used)
        : used_(std::move(used)), iskeyword_(nb::module_::import_("keyword").attr("iskeyword")) {}

    /// Whether a column can be a parameter under its own name.
    bool keeps(const std::string& name) const {
        return is_path_parameter_name(name) && !used_.count(name) && !is_keyword(name);
    }
    void reserve(const std::string& name) { used_.insert(name); }

    /// A parameter name for a column that cannot keep its own: its characters outside
    /// [A-Za-z0-9_] replaced by "_", "_" in front of a leading digit, then "_" appended until the
    /// name is neither taken nor a keyword.
    std::string rename(const std::string& column) {
        std::string name;
        for (char c : column)
            name += is_word_char(c) ? c : '_';
        if (name.empty() || !is_word_start(name[0])) name.insert(0, "_");
        while (used_.count(name) || is_keyword(name))
            name += '_';
        used_.insert(name);
        return name;
    }

private:
    bool is_keyword(const std::string& name) const {
        return nb::cast<bool>(iskeyword_(to_str(name)));
    }
    std::set<std::string> used_;
    nb::object iskeyword_;
};

/// Gives each column a parameter name: its own where it can keep it, else a new one.
std::vector<RouteParameter> assign(const std::vector<std::string>& columns,
                                   const std::set<std::string>& route_names) {
    Names names(route_names);
    std::vector<bool> kept;
    for (const std::string& column : columns) {
        kept.push_back(names.keeps(column));
        if (kept.back()) names.reserve(column);
    }
    std::vector<RouteParameter> parameters;
    for (size_t i = 0; i < columns.size(); ++i) {
        nb::object column = to_str(columns[i]);
        nb::object name = kept[i] ? column : nb::object(to_str(names.rename(columns[i])));
        parameters.push_back({name, column, nb::object()});
    }
    return parameters;
}

/// The annotation the first of `models` that declares `column` gives it, with its constraints
/// (a Pydantic field's metadata) kept; unset when none declares it.
nb::object declared_annotation(nb::handle models, nb::handle column) {
    for (nb::handle model : models) {
        nb::object fields;
        if (model.is_none() || !lookup_attribute(model, KELVORA_NAME("model_fields"), fields) ||
            !PyDict_Check(fields.ptr()))
            continue;
        nb::object entries = steal_or_raise(PyDict_Items(fields.ptr()));
        for (nb::handle entry : entries) {
            nb::handle name = PyTuple_GET_ITEM(entry.ptr(), 0);
            nb::handle info = PyTuple_GET_ITEM(entry.ptr(), 1);
            nb::object alias;
            bool named =
                name.equal(column) || (lookup_attribute(info, KELVORA_NAME("alias"), alias) &&
                                       !alias.is_none() && alias.equal(column));
            if (!named) continue;
            nb::object rebuild, annotation;
            if (lookup_attribute(info, KELVORA_NAME("rebuild_annotation"), rebuild))
                return rebuild();
            if (lookup_attribute(info, KELVORA_NAME("annotation"), annotation)) return annotation;
        }
    }
    return nb::object();
}

nb::dict renames(const std::vector<RouteParameter>& parameters) {
    nb::dict result;
    for (const RouteParameter& p : parameters)
        if (p.renamed()) result[p.name] = p.column;
    return result;
}

nb::object keyword_only_parameter(nb::handle name, nb::handle annotation, nb::handle default_) {
    nb::object parameter = nb::module_::import_("inspect").attr("Parameter");
    return parameter(name, parameter.attr("KEYWORD_ONLY"), "annotation"_a = annotation,
                     "default"_a = default_);
}

} // namespace

bool is_path_parameter_name(const std::string& name) {
    if (name.empty() || !is_word_start(name[0])) return false;
    for (char c : name)
        if (!is_word_char(c)) return false;
    return true;
}

RouteParameters::RouteParameters(const std::vector<nb::object>& pk_names,
                                 nb::handle filterable_fields, nb::handle models) {
    std::vector<std::string> keys;
    for (const nb::object& name : pk_names)
        keys.push_back(utf8(name));
    keys_ = assign(keys, key_route_names);

    std::vector<std::string> filters;
    std::set<std::string> seen{"limit", "offset"};
    for (nb::handle field : filterable_fields) {
        if (!PyUnicode_Check(field.ptr()) || PyUnicode_GET_LENGTH(field.ptr()) == 0) continue;
        std::string name = utf8(field);
        if (seen.insert(name).second) filters.push_back(name);
    }
    filters_ = assign(filters, list_route_names);
    for (std::vector<RouteParameter>* parameters : {&keys_, &filters_})
        for (RouteParameter& p : *parameters)
            p.annotation = declared_annotation(models, p.column);
}

nb::list RouteParameters::keys() const {
    nb::object empty = nb::module_::import_("inspect").attr("Parameter").attr("empty");
    nb::handle text = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::list result;
    for (const RouteParameter& p : keys_) {
        nb::object default_ = p.renamed() ? framework().path("alias"_a = p.column) : empty;
        result.append(keyword_only_parameter(
            p.name, p.annotation.is_valid() ? nb::handle(p.annotation) : text, default_));
    }
    return result;
}

nb::list RouteParameters::filters() const {
    nb::object optional = nb::module_::import_("typing").attr("Optional");
    nb::object optional_text = optional[nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type))];
    nb::list result;
    for (const RouteParameter& p : filters_) {
        nb::object default_ =
            p.renamed() ? framework().query(nb::none(), "alias"_a = p.column) : nb::none();
        nb::object annotation = p.annotation.is_valid() ? optional[p.annotation] : optional_text;
        result.append(keyword_only_parameter(p.name, annotation, default_));
    }
    return result;
}

nb::dict RouteParameters::key_renames() const {
    return renames(keys_);
}

nb::dict RouteParameters::filter_renames() const {
    return renames(filters_);
}

} // namespace kelvora::rowplane
