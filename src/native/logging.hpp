// The module logger: texts built by concatenation, error records carrying their exception.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace kelvora {

namespace nb = nanobind;

class Logger {
public:
    /// `logging.getLogger(name)`.
    explicit Logger(const char* name);
    /// Wraps a logger the module already holds.
    explicit Logger(nb::object logger) : logger_(std::move(logger)) {}

    void info(std::string_view text) const;
    void warning(std::string_view text) const;
    /// Logs at error level with `exc_info` set to the exception, so the record has its traceback.
    void error(std::string_view text, nb::handle exception) const;

    nb::handle object() const { return logger_; }

private:
    void log(const char* method, int level, std::string_view text) const;
    nb::object logger_;
};

} // namespace kelvora
