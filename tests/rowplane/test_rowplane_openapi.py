"""What FastAPI sees of a CRUD router: OpenAPI lists keys, filters and bodies; aliases route."""

from pydantic import BaseModel

from kelvora.rowplane import create_crud_router


class Kind(BaseModel):
    name: str


def ok(schema):
    return {
        "200": {
            "description": "Successful Response",
            "content": {"application/json": {"schema": schema}},
        },
        "422": {
            "description": "Validation Error",
            "content": {
                "application/json": {"schema": {"$ref": "#/components/schemas/HTTPValidationError"}}
            },
        },
    }


def operation(name, description, operation_id, schema, parameters=None, body=None):
    result = {
        "tags": ["kinds"],
        "summary": name,
        "description": description,
        "operationId": operation_id,
    }
    if parameters is not None:
        result["parameters"] = parameters
    if body is not None:
        result["requestBody"] = body
    result["responses"] = ok(schema)
    return result


def query(name, schema, title):
    return {"name": name, "in": "query", "required": False, "schema": {**schema, "title": title}}


OPTIONAL_TEXT = {"anyOf": [{"type": "string"}, {"type": "null"}]}
KEY = [
    {
        "name": "class",
        "in": "path",
        "required": True,
        "schema": {"type": "string", "title": "Class"},
    }
]
RECORD = {"type": "object", "additionalProperties": True}
LIST = {"$ref": "#/components/schemas/GenericListResponse"}


def test_openapi_of_a_router(serve):
    router = create_crud_router(
        "kinds",
        None,
        primary_key="class",
        create_model=Kind,
        filterable_fields=["a-b", "client", "limit", 3, "a-b"],
        enable_history=True,
    )
    paths = serve(router).app.openapi()["paths"]
    assert paths == {
        "/kinds/": {
            "post": operation(
                "Create Record",
                "Create a new record",
                "create_record_kinds__post",
                {**RECORD, "title": "Response Create Record Kinds  Post"},
                body={
                    "required": True,
                    "content": {
                        "application/json": {"schema": {"$ref": "#/components/schemas/Kind"}}
                    },
                },
            ),
            "get": operation(
                "List Records",
                "List records with optional filtering and pagination",
                "list_records_kinds__get",
                LIST,
                [
                    query(
                        "limit",
                        {"type": "integer", "maximum": 1000, "minimum": 1, "default": 100},
                        "Limit",
                    ),
                    query("offset", {"type": "integer", "minimum": 0, "default": 0}, "Offset"),
                    query("a-b", OPTIONAL_TEXT, "A-B"),
                    query("client", OPTIONAL_TEXT, "Client"),
                ],
            ),
        },
        "/kinds/{class}": {
            "get": operation(
                "Get Record",
                "Get a record by primary key",
                "get_record_kinds__class__get",
                {**RECORD, "title": "Response Get Record Kinds  Class  Get"},
                KEY,
            ),
            "delete": operation(
                "Delete Record",
                "Delete a record by primary key",
                "delete_record_kinds__class__delete",
                {"$ref": "#/components/schemas/GenericMessageResponse"},
                KEY,
            ),
        },
        "/kinds/{class}/history": {
            "get": operation(
                "Get Record History",
                "Get all historical versions of a record",
                "get_record_history_kinds__class__history_get",
                LIST,
                KEY,
            ),
        },
    }


def test_aliased_keys_and_filters_reach_the_handlers(make_client, serve):
    client = make_client({"count": [(0,)], "select": [{"class": "x"}]})
    http = serve(
        create_crud_router(
            "kinds", client, primary_key="class", filterable_fields=["a-b", "client"]
        ),
        create_crud_router("pairs", client, primary_key="client", router_prefix="/pairs"),
    )
    assert http.get("/kinds/x").json() == {"class": "x"}
    assert http.get("/kinds/?a-b=1&client=2&limit=3").status_code == 200
    assert http.get("/pairs/7").status_code == 200
    assert client.statements()[0][1] == {"class": "x"}
    assert client.statements()[1] == (
        "SELECT count() FROM kinds WHERE a-b = %(a-b)s AND client = %(client)s",
        {"a-b": "1", "client": "2", "limit": 3, "offset": 0},
    )
    assert client.statements()[3][1] == {"client": "7"}
