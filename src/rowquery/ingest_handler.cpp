// POST "/bulk/": rows as a JSON array or NDJSON, each checked against the table's columns (a 422
// names the row and the field) and written as one INSERT in the engine's JSONEachRow; CSV and
// Parquet bodies go to the engine in its own formats. An Idempotency-Key makes a retried request
// store nothing twice, whichever process of whichever service it reaches: the request that
// claims the key stores the rows and records the key, the others answer the record or a 409.
#include "rowquery/handlers.hpp"
#include "rowquery/router.hpp"
#include "rowquery/typed_values.hpp"

#include "native/calls.hpp"
#include "native/errors.hpp"
#include "native/framework.hpp"
#include "native/handler_guard.hpp"
#include "native/keyed_locks.hpp"
#include "native/literals.hpp"
#include "native/names.hpp"
#include "native/records.hpp"

#include <cctype>
#include <optional>

namespace kelvora::rowquery {

namespace {

using namespace nb::literals;

enum class BodyFormat { Json, Ndjson, Csv, Parquet };

BodyFormat body_format(nb::handle request) {
    nb::object header = request.attr("headers").attr("get")("content-type", "application/json");
    std::string type = utf8(header);
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    for (char& c : type)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (type == "application/json") return BodyFormat::Json;
    if (type == "application/x-ndjson" || type == "application/jsonl") return BodyFormat::Ndjson;
    if (type == "text/csv") return BodyFormat::Csv;
    if (type == "application/vnd.apache.parquet") return BodyFormat::Parquet;
    raise_http_error(415, "A bulk body is application/json (an array of objects), "
                          "application/x-ndjson, text/csv or application/vnd.apache.parquet, "
                          "not " +
                              type);
}

/// The rows of a JSON array or NDJSON body, as `json.loads` makes them.
nb::list parsed_rows(const Router& r, nb::handle body, BodyFormat format) {
    if (format == BodyFormat::Json) {
        nb::object rows;
        try {
            rows = r.json_loads(body);
        } catch (nb::python_error& e) {
            if (!is_ordinary_exception(e)) throw;
            raise_http_error(422, "The body is not JSON: " + py_format(e.value()));
        }
        if (!PyList_CheckExact(rows.ptr()))
            raise_http_error(422, "The body is not a JSON array of rows");
        return nb::borrow<nb::list>(rows);
    }
    nb::list rows;
    Py_ssize_t number = 0;
    for (nb::handle line : body.attr("splitlines")()) {
        ++number;
        if (PyBytes_GET_SIZE(line.ptr()) == 0) continue;
        try {
            rows.append(r.json_loads(line));
        } catch (nb::python_error& e) {
            if (!is_ordinary_exception(e)) throw;
            raise_http_error(422, "Row " + std::to_string(number) +
                                      ": not JSON: " + py_format(e.value()));
        }
    }
    return rows;
}

/// Each row checked and put in the form the engine reads, joined as NDJSON.
nb::object checked_rows(const Router& r, nb::handle rows) {
    std::string data;
    Py_ssize_t number = 0;
    for (nb::handle row : rows) {
        ++number;
        const std::string at = "Row " + std::to_string(number);
        if (!PyDict_CheckExact(row.ptr())) raise_http_error(422, at + ": not a JSON object");
        nb::dict checked;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(row.ptr(), &position, &key, &value)) {
            std::string field = utf8(key);
            auto found = r.by_name.find(field);
            if (found == r.by_name.end() || !r.columns[found->second].insertable)
                raise_http_error(422, at + ", field " + field + ": not a column this table stores");
            try {
                checked[key] = value_for_insert(r.columns[found->second].type, value);
            } catch (const ValueRefused& refused) {
                raise_http_error(422, at + ", field " + field + ": " + refused.what());
            }
        }
        for (const Column& column : r.columns)
            if (column.insertable && !column.has_default && !column.type.nullable &&
                !PyDict_Contains(checked.ptr(), column.text.ptr()))
                raise_http_error(422, at + ", field " + column.name + ": required");
        if (!data.empty()) data += '\n';
        nb::object line = r.json_dumps(checked, "ensure_ascii"_a = false);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
        if (!text) {
            PyErr_Clear();
            raise_http_error(422, at + ": text that cannot be encoded as UTF-8");
        }
        data.append(text, static_cast<size_t>(size));
    }
    if (number == 0) raise_http_error(422, "The body holds no rows");
    return to_str(data);
}

bool refused_by_engine(const Router& r, nb::python_error& e) {
    return e.matches(r.clickhouse_error) && !e.matches(r.connection_error);
}

/// "INSERT INTO {table}", with the engine's deduplication token where it has one.
std::string insert_head(const Router& r, nb::handle key) {
    std::string head = "INSERT INTO " + r.table;
    if (!key.is_none() && r.features.deduplication_token())
        head += " SETTINGS insert_deduplication_token = " + clickhouse_string_literal(utf8(key));
    return head;
}

constexpr const char* key_in_progress =
    "A request with this Idempotency-Key is in progress, or was cut short: its rows may be "
    "stored. Retry later; if it stays so, check the table before sending the rows with a new key";

/// The table that exists while one request of `key` stores its rows: the engine creates a
/// table of one name for one caller only, in any process, which no row of a table can promise
/// (ClickHouse has no unique key). The key's SHA-256 names it.
std::string claim_table(const Router& r, nb::handle key) {
    nb::object text = key.attr("encode")("utf-8", "surrogatepass");
    nb::object digest = nb::module_::import_("hashlib").attr("sha256")(text).attr("hexdigest")();
    return side_table(r, "_idempotency_claim_" + utf8(digest));
}

nb::object answer(nb::handle inserted, bool replayed) {
    return ordered(
        {{KELVORA_NAME("inserted"), inserted}, {KELVORA_NAME("replayed"), nb::bool_(replayed)}});
}

Task ingest_rows(nb::object state, nb::object request) {
    Router& r = state_of<Router>(state);
    try {
        const BodyFormat format = body_format(request);
        nb::object key = request.attr("headers").attr("get")("idempotency-key");
        if (!key.is_none()) {
            std::string text = utf8(key);
            if (text.empty() || text.size() > 255)
                raise_http_error(422, "An Idempotency-Key is 1 to 255 characters");
        }
        if (format == BodyFormat::Parquet && !r.features.parquet())
            raise_http_error(415, "This ClickHouse server cannot read Parquet (version 20.1 or "
                                  "later can)");
        nb::object body = co_await request.attr("body")();

        // The rows are checked before anything is sent; the key's turn is taken after that, so
        // a refused body costs no lock.
        nb::object data, inserted = nb::none();
        if (format == BodyFormat::Json || format == BodyFormat::Ndjson) {
            nb::list rows = parsed_rows(r, body, format);
            data = checked_rows(r, rows);
            inserted = nb::int_(PyList_GET_SIZE(rows.ptr()));
        }

        // Requests of one key in this process take turns; across processes the claim decides.
        nb::object lock;
        std::optional<HeldLock> held;
        nb::dict key_params, no_params;
        std::string claim;
        bool claimed = false;
        if (!key.is_none()) {
            lock = keyed_lock(nb::make_tuple(module_name, r.table_name, key));
            co_await call_method(lock, KELVORA_NAME("acquire"));
            held.emplace(lock);
            if (!r.idempotency_table_made) {
                co_await r.execute(
                    to_str("CREATE TABLE IF NOT EXISTS " + r.idempotency_table +
                           " (key String, rows Nullable(UInt64), stored_at DateTime) "
                           "ENGINE = MergeTree ORDER BY key"),
                    no_params);
                r.idempotency_table_made = true;
            }
            claim = claim_table(r, key);
            key_params["key"] = key;
            // A claim held elsewhere may be let go between this request's attempt and its look
            // at the claim: the claimer has then recorded the key, or stored nothing; the next
            // attempt replays the record or claims the key itself.
            for (int attempt = 0;; ++attempt) {
                std::optional<nb::python_error> not_claimed;
                try {
                    co_await r.execute(
                        to_str("CREATE TABLE " + claim + " (claimed_at DateTime) ENGINE = Memory"),
                        no_params);
                    claimed = true;
                } catch (nb::python_error& e) {
                    if (!is_ordinary_exception(e)) throw;
                    not_claimed.emplace(e);
                }
                // Read after claiming: a request that held the claim before recorded the key
                // first.
                nb::object stored =
                    co_await r.execute(to_str("SELECT rows FROM " + r.idempotency_table +
                                              " WHERE key = %(key)s LIMIT 1"),
                                       key_params);
                if (is_true(stored)) {
                    if (claimed)
                        co_await r.execute(to_str("DROP TABLE IF EXISTS " + claim), no_params);
                    co_return answer(item(item(stored, 0), 0), true);
                }
                if (claimed) break;
                nb::object held_elsewhere =
                    co_await r.execute(to_str("EXISTS TABLE " + claim), no_params);
                if (is_true(item(item(held_elsewhere, 0), 0)))
                    raise_http_error(409, key_in_progress);
                if (attempt == 1) throw *not_claimed;
            }
        }

        // A failure the engine reported stored nothing, and frees the claim; after any other
        // (a lost connection, a cancelled request) the rows may be stored: the claim stays.
        std::optional<nb::python_error> failure;
        bool nothing_stored = false;
        const char* format_name = format == BodyFormat::Csv ? "CSV" : "Parquet";
        try {
            if (data.is_valid()) {
                co_await r.execute(to_str(insert_head(r, key) + " FORMAT JSONEachRow\n") + data,
                                   nb::none());
            } else if (format == BodyFormat::Csv) {
                nb::object text = body.attr("decode")("utf-8");
                co_await r.execute(to_str(insert_head(r, key) + " FORMAT CSVWithNames\n") + text,
                                   nb::none());
            } else {
                co_await call(framework().run_in_threadpool, r.streams.attr("insert_bytes"),
                              r.client, to_str(insert_head(r, key)), body, nb::str("Parquet"));
            }
        } catch (nb::python_error& e) {
            if (!is_ordinary_exception(e)) throw;
            nothing_stored = refused_by_engine(r, e) || e.matches(PyExc_UnicodeDecodeError);
            if (!nothing_stored && !claimed) throw;
            failure.emplace(e);
        }
        if (failure) {
            if (claimed && nothing_stored)
                co_await r.execute(to_str("DROP TABLE IF EXISTS " + claim), no_params);
            if (nothing_stored && !data.is_valid())
                raise_http_error(422, std::string("The engine refused the ") + format_name +
                                          " body: " + py_format(failure->value()));
            throw *failure;
        }
        if (claimed) {
            key_params["rows"] = inserted;
            co_await r.execute(to_str("INSERT INTO " + r.idempotency_table +
                                      " (key, rows, stored_at) VALUES (%(key)s, %(rows)s, now())"),
                               key_params);
            co_await r.execute(to_str("DROP TABLE IF EXISTS " + claim), no_params);
        }
        r.log.info("Inserted rows into " + r.table);
        co_return answer(inserted, false);
    } catch (...) {
        r.fail("inserting into", "Failed to insert records: ");
    }
}

} // namespace

FunctionSpec ingest_rows_spec() {
    return {.name = "ingest_rows",
            .qualname = "create_query_router.<locals>.ingest_rows",
            .module = module_name,
            .doc = "Insert many records in one INSERT (JSON array, NDJSON, CSV or Parquet)",
            .parameters = {{"request"}},
            .coroutine = coroutine_body<ingest_rows>()};
}

} // namespace kelvora::rowquery
