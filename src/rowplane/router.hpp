// The state one CRUD router shares between its handlers, and the procedures they all use.
#pragma once

#include "native/answers.hpp"
#include "native/coroutine.hpp"
#include "native/logging.hpp"
#include "native/state.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvora::rowplane {

namespace nb = nanobind;

inline constexpr const char* module_name = "kelvora.rowplane";

/// The two prefixes of one handler's guard: of the error log and of the 500 detail.
struct HandlerTexts {
    const char* log_prefix;
    const char* detail_prefix;
};

/// Everything one `create_crud_router` call captures. Handlers reach it through the holder object
/// that owns it, so it lives exactly as long as the router's handlers.
struct Router : RouterState {
    // Router state given by the factory's arguments.
    nb::object table_name; ///< the `str`, inserted unquoted into SQL and messages
    std::string table;     ///< its UTF-8
    nb::object backend;
    std::vector<std::string> pk_fields;
    std::vector<nb::object> pk_names; ///< the same names as `str` objects
    nb::object response_model, list_model, order_by, filterable_fields, timestamp_field;
    nb::object custom_validators;
    bool async_mode = true;
    Logger log{nb::none()};
    nb::object list_response, message_response; ///< GenericListResponse, GenericMessageResponse
    nb::object datetime;                        ///< the `datetime` class
    ModelAnswers list_answers; ///< how GenericListResponse pages are written natively

    /// FastAPI parameter name -> column name, for the names a column could not keep.
    nb::dict key_renames, filter_renames;

    // Statement texts that only depend on the router.
    nb::object describe_sql; ///< "DESCRIBE TABLE {table}"
    nb::object count_sql;    ///< the count statement without filters
    nb::object page_sql;     ///< the page statement without filters
    nb::object get_sql;      ///< the get-one statement
    nb::object row_sql;      ///< "SELECT * FROM {table} WHERE {key condition} LIMIT 1"
    nb::object key_sql;      ///< "SELECT {key columns} FROM {table} WHERE {key condition} LIMIT 1"
    nb::object history_sql;  ///< the history statement
    std::string key_condition, order_clause;

    int traverse(visitproc visit, void* arg) const override {
        return visit_all(visit, arg, table_name, backend, response_model, list_model, order_by,
                         filterable_fields, timestamp_field, custom_validators, key_renames,
                         filter_renames, describe_sql, count_sql, page_sql, get_sql, row_sql,
                         key_sql, history_sql, list_response, message_response, datetime,
                         list_answers.model, list_answers.stand_in, list_answers.content,
                         log.object());
    }

    // -- The shared functions --------------------------------------------------------------

    /// `client_dependency`: the backend's `client` attribute when it has one, else the backend.
    nb::object client() const;

    /// `_execute_query`: an awaitable giving `client.execute(query, params)`, run on the
    /// framework's thread pool (async mode) or right away on the event loop.
    nb::object execute(nb::handle client, nb::handle query, nb::handle params) const;

    /// The DESCRIBE TABLE statement through `execute`, with an empty parameter dict.
    nb::object describe(nb::handle client) const;

    /// `_validate_pk_values`: 400 "Missing primary key field: {name}" for the first key column
    /// absent from `pk_values` or None there.
    void validate_pk_values(nb::handle pk_values) const;

    /// `_build_where_clause`: the WHERE clause of the filterable, non-None filters and its
    /// parameters.
    std::pair<std::string, nb::dict> build_where_clause(nb::handle filters) const;

    // -- Procedures several handlers repeat --------------------------------------------------

    /// The mapping the handler's steps see: FastAPI parameter names given back their columns.
    static nb::object columns_of(nb::handle values, nb::handle renames);

    /// "{name}={value}, ..." over every entry of `pk_values`, unquoted.
    static std::string key_listing(nb::handle pk_values);

    /// Row conversion, first half: whether the rows are positional, so that one DESCRIBE
    /// statement must name their columns.
    static bool positional(nb::handle rows);
    /// The names of the columns `SELECT *` answers, from a DESCRIBE TABLE result.
    static nb::object columns(nb::handle describe_rows);
    /// Row conversion, second half: a record per row (`dict(row)` when `columns` is unset).
    static nb::object records(nb::handle rows, nb::handle columns);
    /// One row as a record.
    static nb::object record(nb::handle row, nb::handle columns);

    /// Record answer: `response_model(**record)`, or the record itself.
    nb::object record_answer(nb::handle record) const;

    /// The list answer: `list_model` (unless it is GenericListResponse) or GenericListResponse
    /// built with the four keyword arguments.
    nb::object list_answer(nb::handle total, nb::handle items, nb::handle limit,
                           nb::handle offset) const;

    /// The handler guard; call it from inside a catch block. An HTTPException and anything that
    /// is not an `Exception` pass unchanged; any other error is logged with its traceback and
    /// answered 500.
    [[noreturn]] void fail(const HandlerTexts& texts) const;

    /// Body to record: `model_dump` (or the body's own `dict`) with the given keywords.
    nb::object body_record(nb::handle body, bool exclude_none) const;

    /// Field validators: each of `custom_validators` replaces its field's value in `data`.
    void apply_validators(nb::handle data) const;
};

} // namespace kelvora::rowplane
