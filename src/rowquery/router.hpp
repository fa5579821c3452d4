// The state one table-query router shares between its handlers: the table's columns and types
// as the engine described them when the router was built, what the engine can do, and the
// procedures every handler uses.
#pragma once

#include "rowquery/column_types.hpp"

#include "native/answers.hpp"
#include "native/coroutine.hpp"
#include "native/logging.hpp"
#include "native/state.hpp"

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kelvora::rowquery {

namespace nb = nanobind;

inline constexpr const char* module_name = "kelvora.rowquery";

struct Column {
    std::string name;   ///< as the engine names it
    std::string quoted; ///< the name as an identifier in a statement the client binds
    nb::object text;    ///< the name as a `str`
    ColumnType type;
    bool filterable = false, sortable = false;
    bool insertable = true;   ///< not MATERIALIZED or ALIAS
    bool has_default = false; ///< an INSERT may leave it out
    bool in_key = false;      ///< in the sorting, primary or partition key: never updated
};

/// What the engine behind the router can do, from its version.
struct EngineFeatures {
    int major = 0, minor = 0;
    bool at_least(int want_major, int want_minor) const {
        return major > want_major || (major == want_major && minor >= want_minor);
    }
    bool explain_estimate() const { return at_least(21, 9); }
    bool parquet() const { return at_least(20, 1); }
    bool ilike() const { return at_least(20, 6); }
    bool lightweight_delete() const { return at_least(22, 8); }
    bool deduplication_token() const { return at_least(22, 2); }
    bool latest_fail_reason() const { return at_least(20, 1); }
};

struct Router : RouterState {
    nb::object table_name;           ///< the `str` the host gave: "table" or "database.table"
    std::string table;               ///< its UTF-8, inserted as given into SQL text
    nb::object database, bare_table; ///< the two halves unquoted (`database` None: the current)
    nb::object client;
    nb::object prefix;
    std::vector<Column> columns;
    std::unordered_map<std::string, size_t> by_name;
    std::vector<size_t> keyset; ///< the cursor's order: the sorting key, then the key column
    EngineFeatures features;
    bool reads_prewhere = false; ///< a MergeTree table: PREWHERE filters while it reads
    bool lightweight_delete = false;
    long max_limit = 1000;
    Logger log{nb::none()};
    nb::object streams;                            ///< kelvora.engine_streams
    nb::object json_loads, json_dumps;             ///< json.loads, json.dumps
    nb::object clickhouse_error, connection_error; ///< the client's error classes
    ModelAnswers page_answers;                     ///< how QueryPage pages are written natively
    std::string idempotency_table; ///< `side_table(*this, "_idempotency_keys")`, made on first use
    bool idempotency_table_made = false;

    int traverse(visitproc visit, void* arg) const override {
        int status = visit_all(visit, arg, table_name, database, bare_table, client, prefix,
                               streams, json_loads, json_dumps, clickhouse_error, connection_error,
                               page_answers.model, page_answers.stand_in, page_answers.content,
                               log.object());
        for (const Column& column : columns)
            if (!status) status = visit_all(visit, arg, column.text);
        return status;
    }

    /// The column a request names, or a 422 "Unknown column '{name}' ({where})".
    const Column& column(std::string_view name, std::string_view where) const;

    /// An awaitable giving `client.execute(query, params)`, run on the framework's thread pool.
    nb::object execute(nb::handle query, nb::handle params) const;

    /// What the query handler returns for `page` (a dict of QueryPage's fields, in their order):
    /// the empty page, with the page's JSON left in the request's slot, when FastAPI called it
    /// through its answer route and every field has its model's exact type; `page` otherwise.
    nb::object page_answer(nb::handle page) const;

    /// The parameters naming the table in system tables: `table`, and `database` when given.
    nb::dict table_parameters() const;

    /// The handler guard: HTTPException passes, any other failure is logged and answered 500
    /// with `detail` + its text.
    [[noreturn]] void fail(const char* doing, const char* detail) const;
};

/// A name as a ClickHouse identifier: backquoted, with "`" and "\" escaped; in a statement the
/// client still binds (`for_template`) a "%" is doubled, so the binding gives it back.
std::string quoted_identifier(std::string_view name, bool for_template = true);

/// The database (empty when the name has none) and the table a table name names, unquoted:
/// "db.events", "events", "`my db`.`odd-name`" (a part may be backquoted or double-quoted,
/// with backslash escapes or its quote doubled inside). A name that does not read so is split
/// at its first dot as written.
std::pair<std::string, std::string> split_table_name(std::string_view name);

/// The table `suffix` names beside the router's own, in its database: "db.events" gives
/// "db.events{suffix}", a quoted or unusual name its parts quoted.
std::string side_table(const Router& r, std::string_view suffix);

} // namespace kelvora::rowquery
