"""Control plane of a ConfigStore, beside its config router"""

import logging
from typing import Any, Callable, Dict, List, Type

from fastapi import APIRouter
from pydantic import BaseModel

FASTAPI_AVAILABLE: bool
logger: logging.Logger

def create_config_control_router(
    config_store: Any,
    schema: Dict[str, Any] | None = None,
    config_model: Type[BaseModel] | None = None,
    reload_callback: Callable[[], Any] | None = None,
    auth_dependency: Callable[..., Any] | None = None,
    router_prefix: str = "/config",
    router_tags: List[str] | None = None,
) -> APIRouter:
    """Create the control router of a ConfigStore: conditional requests, validation and dry
    runs, history and diffs, beside the store's config router."""

def document_control_plane(app: Any) -> None:
    """Document the control plane in app.openapi(): the headers, query parameters and answers
    (304, 409, 412, 422) that the control router adds to the config router's operations. Call
    it once, after including both routers."""
