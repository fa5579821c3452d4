// The module kelvora.backends: the storage-backend protocol and its ClickHouse and DuckDB adapters.
#include "backends/operations.hpp"

#include "native/module.hpp"

namespace {

constexpr const char* module_doc = R"(
Storage Backend Adapters

Provides adapters for different storage backends (ClickHouse, DuckDB, etc.)
to work with the generic CRUD API.

This enables the same CRUD API to work with multiple storage backends
using the Strategy/Adapter pattern.
)";

} // namespace

KELVORA_MODULE(backends, m) {
    namespace nb = nanobind;
    namespace backends = kelvora::backends;
    m.attr("__doc__") = module_doc;
    nb::module_ typing = nb::module_::import_("typing");
    for (const char* name : {"Any", "Dict", "List", "Protocol", "runtime_checkable"})
        m.attr(name) = typing.attr(name);
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
    m.attr("StorageBackend") = backends::make_storage_backend(typing);
    m.attr("ClickHouseBackend") = backends::make_clickhouse_backend();
    m.attr("DuckDbBackend") = backends::make_duckdb_backend();
}
