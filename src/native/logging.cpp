// The module logger: texts built by concatenation, error records carrying their exception.
#include "native/logging.hpp"

#include "native/literals.hpp"

namespace kelvora {

using namespace nb::literals;

namespace {
// The standard levels of the logging module.
constexpr int level_info = 20, level_warning = 30, level_error = 40;
} // namespace

Logger::Logger(const char* name)
    : logger_(nb::module_::import_("logging").attr("getLogger")(name)) {}

void Logger::log(const char* method, int level, std::string_view text) const {
    // Texts are only built into Python strings when a record will be made.
    if (!nb::cast<bool>(logger_.attr("isEnabledFor")(level))) return;
    logger_.attr(method)(to_str(text));
}

void Logger::info(std::string_view text) const {
    log("info", level_info, text);
}
void Logger::warning(std::string_view text) const {
    log("warning", level_warning, text);
}

void Logger::error(std::string_view text, nb::handle exception) const {
    if (!nb::cast<bool>(logger_.attr("isEnabledFor")(level_error))) return;
    logger_.attr("error")(to_str(text), "exc_info"_a = exception);
}

} // namespace kelvora
