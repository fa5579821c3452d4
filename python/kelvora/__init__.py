"""kelvora: management endpoints for FastAPI services on ClickHouse.

The native modules are imported on their own: ``kelvora.backends`` (storage adapters), and, with
the ``api`` extra, the router factories of ``kelvora.setplane`` and ``kelvora.rowplane``.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("kelvora")
except PackageNotFoundError:  # run from a checkout without being installed
    __version__ = "0+unknown"
