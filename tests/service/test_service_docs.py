"""The documentation pages, against the service as a real process: /docs and /redoc reference
only the service's own URLs, each of which answers, and in headless Chromium with every other
host out of reach they render the service's routes and ask nothing of another host."""

import json
import re
import shutil
import struct
import subprocess
import zlib

import pytest
from test_service import Service

KEY = "docs-key-0123"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
WINDOW = (1280, 1800)
SAME_ORIGIN_ONLY = "default-src 'self' 'unsafe-inline' data: blob:"

PAGES = {
    "/docs": {
        "/docs/assets/swagger-ui.css",
        "/docs/assets/swagger-ui-bundle.js",
        "/docs/assets/favicon.png",
        "/openapi.json",
        "/docs/oauth2-redirect",
    },
    "/redoc": {"/docs/assets/redoc.standalone.js", "/docs/assets/favicon.png", "/openapi.json"},
}
CONTENT_TYPES = {
    "/docs/assets/swagger-ui.css": "text/css; charset=utf-8",
    "/docs/assets/swagger-ui-bundle.js": "text/javascript; charset=utf-8",
    "/docs/assets/redoc.standalone.js": "text/javascript; charset=utf-8",
    "/docs/assets/favicon.png": "image/png",
    "/openapi.json": "application/json",
    "/docs/oauth2-redirect": "text/html; charset=utf-8",
}
# What the browser fetches for each page once it has it (the redirect page only after a login).
FETCHED = {page: references - {"/docs/oauth2-redirect"} for page, references in PAGES.items()}


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    # With a key set, so that the pages are shown to be open and "Authorize" to be offered.
    tmp_path = tmp_path_factory.mktemp("docs")
    with Service("--data-dir", str(tmp_path / "d"), "--api-key", KEY, cwd=tmp_path) as service:
        yield service


@pytest.fixture(scope="module")
def document(service):
    return service.http.get("/openapi.json").json()


@pytest.fixture(scope="module")
def operations(document):
    """The service's (method, path) pairs, as the document declares them."""
    return sorted((method, path) for path, item in document["paths"].items() for method in item)


def references(html):
    """Every URL a page names: attribute values and quoted script strings that are paths."""
    return set(re.findall(r"""["'](/[^"'\s<>]*)["']""", html))


@pytest.mark.parametrize("page", PAGES)
def test_a_page_names_only_the_service_own_urls(service, page):
    answer = service.http.get(page)
    assert answer.status_code == 200, answer.text
    assert answer.headers["content-type"] == "text/html; charset=utf-8"
    assert answer.headers["content-security-policy"] == SAME_ORIGIN_ONLY
    assert re.findall(r"\w+://", answer.text) == []
    assert references(answer.text) == PAGES[page]


@pytest.mark.parametrize("page", PAGES)
def test_every_url_a_page_names_answers_without_a_key(service, page):
    assert service.http.get("/products/").status_code == 401
    for reference in references(service.http.get(page).text):
        answer = service.http.get(reference)
        assert answer.status_code == 200, reference
        assert answer.headers["content-type"] == CONTENT_TYPES[reference], reference
        assert answer.content, reference


def test_the_assets_are_what_they_claim(service):
    http = service.http
    assert http.get("/docs/assets/favicon.png").content.startswith(PNG_SIGNATURE)
    assert b"SwaggerUIBundle" in http.get("/docs/assets/swagger-ui-bundle.js").content[:1000]
    assert b"Redoc" in http.get("/docs/assets/redoc.standalone.js").content[:1000]
    # The styles load nothing more: every image in them is inline.
    css = http.get("/docs/assets/swagger-ui.css").text
    assert "@import" not in css
    assert {url[:5] for url in re.findall(r"""url\(["']?([^)"']*)""", css)} == {"data:"}


@pytest.mark.parametrize(
    "path", ["/docs/assets/nothing.js", "/docs/assets/..%2Fdocs", "/docs/assets/"]
)
def test_only_the_known_assets_are_served(service, path):
    answer = service.http.get(path)
    assert (answer.status_code, answer.json()) == (404, {"detail": "Not Found"})


def test_the_oauth2_redirect_page_hands_the_login_back(service):
    html = service.http.get("/docs/oauth2-redirect").text
    assert "window.opener.swaggerUIRedirectOauth2" in html
    assert re.findall(r"\w+://", html) == []


def test_the_pages_are_not_in_the_document(document):
    assert [path for path in document["paths"] if path.startswith(("/docs", "/redoc"))] == []


def test_the_pages_are_counted_by_their_route(service):
    service.http.get("/docs/assets/favicon.png")
    metrics = service.http.get("/metrics", headers={"X-API-Key": KEY}).text
    line = 'kelvora_http_requests_total{method="GET",route="/docs/assets/{name}",status="200"}'
    assert line in metrics


# --- In a real browser ---------------------------------------------------------------------------


def requests_of_the_page(net_log):
    """The URLs a page asked for, from Chromium's network log: those it initiated itself (the
    browser's own background requests have no initiating origin)."""
    log = json.loads(net_log)
    event_names = {number: name for name, number in log["constants"]["logEventTypes"].items()}
    urls = []
    for event in log["events"]:
        params = event.get("params") or {}
        if event_names[event["type"]] == "URL_REQUEST_START_JOB":
            if params.get("initiator", "not an origin") != "not an origin":
                urls.append(params["url"])
    return urls


def png_size_and_pixels(png):
    """The width, height and decompressed scanlines of a PNG."""
    assert png.startswith(PNG_SIGNATURE)
    chunks, offset = {}, len(PNG_SIGNATURE)
    while offset < len(png):
        (length,), kind = (
            struct.unpack(">I", png[offset : offset + 4]),
            png[offset + 4 : offset + 8],
        )
        chunks[kind] = chunks.get(kind, b"") + png[offset + 8 : offset + 8 + length]
        offset += 12 + length
    width, height = struct.unpack(">II", chunks[b"IHDR"][:8])
    return width, height, zlib.decompress(chunks[b"IDAT"])


def render(service, page, tmp_path):
    """Loads a page in headless Chromium whose only reachable host is the service: everything
    else goes to a proxy address where nothing listens. Gives the rendered DOM, the URLs the
    page asked for and the screenshot."""
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("Debian's chromium is not installed (./run test installs it as root)")
    origin = f"http://127.0.0.1:{service.port}"
    screenshot, net_log = tmp_path / "page.png", tmp_path / "net-log.json"
    command = [
        chromium,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--no-first-run",
        f"--user-data-dir={tmp_path / 'profile'}",
        "--proxy-server=127.0.0.1:9",
        f"--proxy-bypass-list=127.0.0.1:{service.port}",
        f"--log-net-log={net_log}",
        f"--window-size={WINDOW[0]},{WINDOW[1]}",
        "--virtual-time-budget=20000",
        f"--screenshot={screenshot}",
        "--dump-dom",
        origin + page,
    ]
    run = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stderr
    return run.stdout, requests_of_the_page(net_log.read_text()), screenshot.read_bytes()


@pytest.mark.parametrize("page", PAGES)
def test_a_page_asks_only_the_service(service, page, tmp_path):
    _, requested, _ = render(service, page, tmp_path)
    origin = f"http://127.0.0.1:{service.port}"
    assert sorted(requested) == sorted(origin + path for path in FETCHED[page])


def looks_drawn(screenshot):
    """Whether a screenshot is the window's size and far from one plain colour."""
    width, height, pixels = png_size_and_pixels(screenshot)
    return (width, height) == WINDOW and len(set(pixels)) > 64


def test_swagger_ui_lists_every_operation_with_its_lock(service, document, operations, tmp_path):
    dom, _, screenshot = render(service, "/docs", tmp_path)
    listed = re.findall(
        r'<span class="opblock-summary-method">(\w+)</span>.*?data-path="([^"]*)"', dom
    )
    assert sorted((method.lower(), path) for method, path in listed) == operations
    assert {("get", "/config/"), ("put", "/products/{id}")} <= set(operations)
    # The document declares the key schemes: Swagger UI offers them, and locks what needs one.
    assert '<button class="btn authorize unlocked"><span>Authorize</span>' in dom
    guarded = [(m, p) for m, p in operations if document["paths"][p][m].get("security")]
    assert len(guarded) == len(operations) - 2  # all but /healthz and /readyz
    assert dom.count('aria-label="authorization button unlocked"') == len(guarded)
    assert looks_drawn(screenshot)


def test_redoc_lists_every_operation(service, operations, tmp_path):
    dom, _, screenshot = render(service, "/redoc", tmp_path)
    listed = re.findall(r'http-verb (\w+)">\w+</span><span[^>]*>([^<]*)</span>', dom)
    assert sorted(listed) == operations
    assert looks_drawn(screenshot)
