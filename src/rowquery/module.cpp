// The module kelvora.rowquery: typed filters, sorting, cursors, streaming export, bulk ingest and
// mutations with their status, over one ClickHouse table, beside its CRUD router.
#include "rowquery/factory.hpp"
#include "rowquery/router.hpp"

#include "native/framework.hpp"
#include "native/models.hpp"
#include "native/module.hpp"

namespace {

namespace nb = nanobind;
using namespace kelvora;
using namespace kelvora::rowquery;

constexpr const char* module_doc = R"(
Table queries the ClickHouse way, beside a CRUD router

create_query_router(table, backend) reads the table's columns and types once and gives a router
(same prefix as the table's CRUD router, paths ending in "/") with:
- GET /query/: typed filters (?price=gte.10&status=in.(new,open)), order=col.desc,col2,
  select=a,b, keyset cursor paging in the sorting key's order (the next page's link in the
  answer) or offset paging, count=exact|estimated|none
- GET /export/: the same as NDJSON, CSV or Parquet, streamed from the engine (on the embedded
  engine over a connection of its own, so other routes answer while it streams)
- POST /bulk/: a JSON array or NDJSON (checked per row), CSV or Parquet, one INSERT; an
  Idempotency-Key makes a retry store nothing twice, from any process of any service: the
  request that claims the key stores the rows, one arriving meanwhile answers 409, and a
  request cut short after claiming leaves its key answering 409, its rows perhaps stored
- PATCH and DELETE /rows/: mutations of the filtered rows, answering the mutation's id;
  GET /mutations/{mutation_id}/ shows its status

Usage:
    app.include_router(create_crud_router("events", backend))
    app.include_router(create_query_router("events", backend))
)";

void define_models(nb::module_ m) {
    nb::object base = m.attr("BaseModel");
    nb::object typing = nb::module_::import_("typing");
    nb::object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object str_type = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::object bool_type = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::object optional = typing.attr("Optional");
    nb::object any = typing.attr("Any");
    nb::object record = typing.attr("Dict")[nb::make_tuple(str_type, any)];
    nb::object none = nb::none();
    m.attr("QueryPage") =
        make_model(base, module_name, "QueryPage", "One page of records and the link to the next",
                   {{"items", typing.attr("List")[record]},
                    {"count", optional[int_type], none},
                    {"count_mode", str_type},
                    {"limit", int_type},
                    {"offset", optional[int_type], none},
                    {"next", optional[str_type], none}});
    m.attr("BulkAnswer") =
        make_model(base, module_name, "BulkAnswer",
                   "What a bulk insert stored (CSV and Parquet: inserted None)",
                   {{"inserted", optional[int_type], none}, {"replayed", bool_type}});
    m.attr("MutationAnswer") =
        make_model(base, module_name, "MutationAnswer", "The mutation an update or delete started",
                   {{"mutation_id", str_type},
                    {"command", str_type},
                    {"is_done", bool_type},
                    {"status", str_type}});
    m.attr("MutationStatus") = make_model(base, module_name, "MutationStatus",
                                          "A mutation as the engine's system.mutations shows it",
                                          {{"mutation_id", str_type},
                                           {"command", str_type},
                                           {"create_time", any},
                                           {"parts_to_do", int_type},
                                           {"is_done", bool_type},
                                           {"latest_fail_reason", optional[str_type], none}});
}

} // namespace

KELVORA_MODULE(rowquery, m) {
    m.attr("__doc__") = module_doc;
    m.attr("logging") = nb::module_::import_("logging");
    import_framework(m, {"APIRouter", "BaseModel"}, {"APIRouter", "BaseModel"});
    m.attr("FASTAPI_AVAILABLE") = nb::bool_(framework().available);
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    if (framework().available) define_models(m);
    m.attr("create_query_router") = make_create_query_router(m);
}
