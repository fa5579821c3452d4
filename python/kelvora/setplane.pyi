"""Config-Specific API Factory for ConfigStore"""

import asyncio as asyncio
import logging as logging
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
from fastapi.concurrency import run_in_threadpool as run_in_threadpool
from pydantic import BaseModel as BaseModel

FASTAPI_AVAILABLE: bool
logger: logging.Logger

class ConfigVersionInfo(BaseModel):
    """Config version information"""

    config_name: str
    environment: str
    version: int
    updated_at: str | None = None

class ConfigVersionsResponse(BaseModel):
    """List of config versions"""

    status: str = "success"
    total_versions: int
    versions: List[ConfigVersionInfo]

class ConfigVersionDetailResponse(BaseModel):
    """Detailed config version"""

    status: str = "success"
    version: int
    updated_at: str | None = None
    config: Dict[str, Any]

class ConfigReloadResponse(BaseModel):
    """Config reload response"""

    status: str = "success"
    message: str
    config: Dict[str, Any] | None = None

def create_config_router(
    config_store: Any,
    config_model: Type[BaseModel] | None = None,
    reload_callback: Callable[[], Any] | None = None,
    auth_dependency: Callable[..., Any] | None = None,
    router_prefix: str = "/config",
    router_tags: List[str] | None = None,
    enable_section_endpoints: bool = True,
    enable_version_endpoints: bool = True,
    enable_database_endpoints: bool = True,
) -> APIRouter:
    """Create a config management router for ConfigStore."""
