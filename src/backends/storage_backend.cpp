// StorageBackend: the structural interface of the storage backends, a runtime-checkable Protocol.
#include "backends/operations.hpp"

namespace kelvora::backends {

namespace {

constexpr const char* class_doc = R"(
    Protocol/Interface for storage backends.

    Any backend that implements these methods can be used with
    create_crud_router() to provide a REST API.

    This enables:
    - ClickHouse backend (persistent storage)
    - DuckDB backend (cached/in-memory data)
    - MongoDB backend (future)
    - Any other backend that implements this interface
    )";

constexpr const char* query_doc = R"(
        Query data from backend with filters.

        Args:
            table: Table name
            filters: Dict of column_name -> value (WHERE conditions)
            limit: Maximum number of rows to return
            offset: Number of rows to skip

        Returns:
            List of dicts (rows)
        )";

constexpr const char* create_doc = R"(
        Create new record in backend.

        Args:
            table: Table name
            data: Dict of column_name -> value

        Returns:
            Created record dict
        )";

constexpr const char* update_doc = R"(
        Update existing record in backend.

        Args:
            table: Table name
            id_value: Primary key value
            data: Dict of column_name -> value to update

        Returns:
            Updated record dict
        )";

constexpr const char* delete_doc = R"(
        Delete record from backend.

        Args:
            table: Table name
            id_value: Primary key value

        Returns:
            True if successful
        )";

constexpr const char* get_by_id_doc = R"(
        Get single record by ID.

        Args:
            table: Table name
            id_value: Primary key value

        Returns:
            Record dict

        Raises:
            ValueError: If record not found
        )";

constexpr const char* get_info_doc = R"(
        Get table metadata (row count, columns, etc.).

        Args:
            table: Table name

        Returns:
            Dict with metadata
        )";

// The protocol's operations only declare the interface: arguments are checked, nothing is done.
nb::object nothing(nb::handle, Arguments&) {
    return nb::none();
}

} // namespace

nb::object make_storage_backend(nb::handle typing) {
    Operations operations{"StorageBackend", nothing,       nothing,     nothing,    nothing,
                          nothing,          nothing,       query_doc,   create_doc, update_doc,
                          delete_doc,       get_by_id_doc, get_info_doc};
    return make_runtime_protocol(typing, module_name, "StorageBackend", class_doc,
                                 operation_methods(operations));
}

} // namespace kelvora::backends
