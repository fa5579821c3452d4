"""The documentation pages, ``/docs`` (Swagger UI) and ``/redoc`` (ReDoc), with their scripts,
styles and icon served by the service itself from the files fastapi-offline installs: the pages
ask nothing of another host, so they work on a machine without internet."""

from pathlib import Path

from fastapi import FastAPI, HTTPException, Request
from fastapi.openapi.docs import (
    get_redoc_html,
    get_swagger_ui_html,
    get_swagger_ui_oauth2_redirect_html,
)
from fastapi.responses import FileResponse, HTMLResponse

from .settings import StartupError

DOCS_URL = "/docs"
OAUTH2_REDIRECT_URL = "/docs/oauth2-redirect"
REDOC_URL = "/redoc"
ASSETS_URL = "/docs/assets"
# What the pages load, by file name, with the type it is answered with.
ASSETS = {
    "swagger-ui-bundle.js": "text/javascript; charset=utf-8",
    "swagger-ui.css": "text/css; charset=utf-8",
    "redoc.standalone.js": "text/javascript; charset=utf-8",
    "favicon.png": "image/png",
}
# The pages may load only from the service itself (their scripts are inline and make styles,
# images and workers from data: and blob: URLs): ReDoc's menu would otherwise fetch its maker's
# logo from a CDN.
SAME_ORIGIN_ONLY = "default-src 'self' 'unsafe-inline' data: blob:"


def add_documentation(app: FastAPI) -> None:
    """Serves ``app``'s OpenAPI document as Swagger UI at ``/docs`` (with its OAuth2 redirect
    page) and as ReDoc at ``/redoc``, the assets under ``/docs/assets/``; none of them is part of
    the document. They need no API key: they show only what ``/openapi.json`` shows, and Swagger
    UI's "Authorize" offers the schemes the document declares."""
    import fastapi_offline

    openapi_url = app.openapi_url
    if openapi_url is None:
        raise ValueError("the documentation pages show the OpenAPI document: the app serves none")
    folder = Path(fastapi_offline.__file__).parent / "static"
    missing = [name for name in ASSETS if not (folder / name).is_file()]
    if missing:
        raise StartupError(f"fastapi-offline has no {', '.join(missing)} in {folder}")

    def root(request: Request) -> str:
        # Behind a proxy that mounts the service under a prefix, every URL keeps the prefix.
        return str(request.scope.get("root_path", "")).rstrip("/")

    @app.get(DOCS_URL, include_in_schema=False)
    def swagger_ui(request: Request) -> HTMLResponse:
        prefix = root(request)
        page = get_swagger_ui_html(
            openapi_url=prefix + openapi_url,
            title=app.title + " - Swagger UI",
            swagger_js_url=f"{prefix}{ASSETS_URL}/swagger-ui-bundle.js",
            swagger_css_url=f"{prefix}{ASSETS_URL}/swagger-ui.css",
            swagger_favicon_url=f"{prefix}{ASSETS_URL}/favicon.png",
            oauth2_redirect_url=prefix + OAUTH2_REDIRECT_URL,
            init_oauth=app.swagger_ui_init_oauth,
            swagger_ui_parameters=app.swagger_ui_parameters,
        )
        page.headers["Content-Security-Policy"] = SAME_ORIGIN_ONLY
        return page

    @app.get(OAUTH2_REDIRECT_URL, include_in_schema=False)
    def swagger_ui_oauth2_redirect() -> HTMLResponse:
        return get_swagger_ui_oauth2_redirect_html()

    @app.get(REDOC_URL, include_in_schema=False)
    def redoc(request: Request) -> HTMLResponse:
        prefix = root(request)
        page = get_redoc_html(
            openapi_url=prefix + openapi_url,
            title=app.title + " - ReDoc",
            redoc_js_url=f"{prefix}{ASSETS_URL}/redoc.standalone.js",
            redoc_favicon_url=f"{prefix}{ASSETS_URL}/favicon.png",
            with_google_fonts=False,
        )
        page.headers["Content-Security-Policy"] = SAME_ORIGIN_ONLY
        return page

    @app.get(ASSETS_URL + "/{name}", include_in_schema=False)
    def asset(name: str) -> FileResponse:
        media_type = ASSETS.get(name)
        if media_type is None:
            raise HTTPException(status_code=404, detail="Not Found")
        return FileResponse(folder / name, media_type=media_type)
