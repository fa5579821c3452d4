"""Table queries the ClickHouse way, beside a CRUD router"""

import logging as logging
from typing import Any, Dict, List, Optional

from fastapi import APIRouter as APIRouter
from pydantic import BaseModel as BaseModel

FASTAPI_AVAILABLE: bool
logger: logging.Logger

class QueryPage(BaseModel):
    """One page of records and the link to the next"""

    items: List[Dict[str, Any]]
    count: Optional[int] = None
    count_mode: str
    limit: int
    offset: Optional[int] = None
    next: Optional[str] = None

class BulkAnswer(BaseModel):
    """What a bulk insert stored (CSV and Parquet: inserted None)"""

    inserted: Optional[int] = None
    replayed: bool

class MutationAnswer(BaseModel):
    """The mutation an update or delete started"""

    mutation_id: str
    command: str
    is_done: bool
    status: str

class MutationStatus(BaseModel):
    """A mutation as the engine's system.mutations shows it"""

    mutation_id: str
    command: str
    create_time: Any
    parts_to_do: int
    is_done: bool
    latest_fail_reason: Optional[str] = None

def create_query_router(
    table_name: str,
    backend: Any,
    primary_key: Optional[str] = None,
    router_prefix: Optional[str] = None,
    router_tags: Optional[List[str]] = None,
    filterable_fields: Optional[List[str]] = None,
    sortable_fields: Optional[List[str]] = None,
    lightweight_delete: Optional[bool] = None,
    max_limit: int = 1000,
) -> APIRouter:
    """Create a router that queries, exports, ingests and mutates one ClickHouse table, to be
    included next to its CRUD router (same prefix, its own paths)."""
