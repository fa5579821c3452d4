"""Generic CRUD API Factory for Storage Backends"""

import logging as logging
from datetime import datetime as datetime
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any as Any
from typing import Callable as Callable
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Type as Type

from fastapi import APIRouter as APIRouter
from fastapi import Body as Body
from fastapi import Depends as Depends
from fastapi import HTTPException as HTTPException
from fastapi import Query as Query
from fastapi.concurrency import run_in_threadpool as run_in_threadpool
from pydantic import BaseModel as BaseModel

from kelvora.backends import StorageBackend

FASTAPI_AVAILABLE: bool
logger: logging.Logger

class GenericListResponse(BaseModel):
    """Generic paginated list response"""

    total: int
    items: List[Dict[str, Any]]
    limit: int
    offset: int

class GenericMessageResponse(BaseModel):
    """Generic success/error message response"""

    message: str
    status: str = "success"
    details: Dict[str, Any] | None = None

def create_crud_router(
    table_name: str,
    backend: StorageBackend | Any,
    primary_key: str | None = None,
    response_model: Type[BaseModel] | None = None,
    create_model: Type[BaseModel] | None = None,
    update_model: Type[BaseModel] | None = None,
    list_model: Type[BaseModel] | None = None,
    router_prefix: str | None = None,
    router_tags: List[str] | None = None,
    order_by: str | None = None,
    filterable_fields: List[str] | None = None,
    enable_history: bool = False,
    timestamp_field: str = "created_at",
    async_mode: bool = True,
    custom_validators: Dict[str, Callable[[Any], Any]] | None = None,
) -> APIRouter:
    """Create a generic CRUD router for any storage backend (ClickHouse, DuckDB, etc.)."""
