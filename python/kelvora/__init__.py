"""kelvora: management endpoints for FastAPI services on ClickHouse.

The native modules are imported on their own: ``kelvora.backends`` (storage adapters), and, with
the ``api`` extra, the router factories of ``kelvora.setplane`` and ``kelvora.rowplane``.
"""

from typing import Any


def __getattr__(name: str) -> Any:
    # The version is read from the installed package's metadata on first use, so importing a
    # module of the package imports nothing more than that module needs.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("kelvora")
        except PackageNotFoundError:  # run from a checkout without being installed
            return "0+unknown"
    raise AttributeError(f"module 'kelvora' has no attribute {name!r}")
