"""Statements whose answer or data is too large to hold: a SELECT's answer streamed in the engine's
own output format, chunk by chunk, and binary data (Parquet) handed to an INSERT as it is.

Both work on the clients of `kelvora.clickhouse`. On the embedded engine a stream holds the
engine for its whole length (chDB runs one statement at a time, and a statement sent while a
stream is open ends that stream), so other statements wait until it ends or is closed. On a
server the answer comes as the server writes it; closing the stream closes its connection,
which stops the statement at the server's next write.
"""

from __future__ import annotations

import os
import tempfile
import threading
import urllib.parse
from typing import Any, AsyncIterator, Optional, Protocol

import anyio
from fastapi.concurrency import run_in_threadpool
from starlette.responses import StreamingResponse
from starlette.types import Receive, Scope, Send

from kelvora import _clickhouse
from kelvora.clickhouse import ClickHouseError, Client, _Embedded, _Server

__all__ = ["EngineStream", "open_stream", "stream_response", "insert_bytes"]

_CHUNK = 1 << 16


class EngineStream(Protocol):
    """The answer of one statement: `next_chunk()` gives bytes until it gives None."""

    def next_chunk(self) -> Optional[bytes]: ...

    def close(self) -> None: ...


class _EmbeddedStream:
    def __init__(self, transport: _Embedded, statement: str, answer_format: str):
        self._lock: Optional[threading.Lock] = transport._lock
        self._lock.acquire()
        try:
            self._result = transport._session.send_query(statement, answer_format)
        except Exception as error:
            self._release()
            raise ClickHouseError(str(error)) from None

    def next_chunk(self) -> Optional[bytes]:
        try:
            chunk = self._result.fetch()
        except Exception as error:
            self.close()
            raise ClickHouseError(str(error)) from None
        if chunk is None:
            self.close()
            return None
        data: bytes = chunk.bytes()
        return data

    def close(self) -> None:
        if self._lock is None:
            return
        try:
            self._result.cancel()
        finally:
            self._release()

    def _release(self) -> None:
        lock, self._lock = self._lock, None
        if lock is not None:
            lock.release()


class _ServerStream:
    def __init__(self, transport: _Server, statement: str, answer_format: str):
        # Unlike a whole answer, the stream does not wait for the statement's end: the server
        # sends rows as it makes them (uncompressed, so chunks pass through as they come).
        settings = {
            key: value
            for key, value in transport._settings.items()
            if key not in ("wait_end_of_query", "enable_http_compression")
        }
        path = "/?" + urllib.parse.urlencode({**settings, "default_format": answer_format})
        headers = {k: v for k, v in transport._headers.items() if k != "Accept-Encoding"}
        self._response: Any = transport._pool.urlopen(
            "POST",
            path,
            body=statement.encode("utf-8", "surrogatepass"),
            headers=headers,
            retries=False,
            preload_content=False,
            decode_content=False,
        )
        if self._response.status != 200:
            text = self._response.read().decode("utf-8", "replace").strip()
            self.close()
            raise ClickHouseError(text)

    def next_chunk(self) -> Optional[bytes]:
        if self._response is None:
            return None
        data: bytes = self._response.read(_CHUNK)
        if not data:
            self._response.release_conn()
            self._response = None
            return None
        return data

    def close(self) -> None:
        if self._response is not None:
            # Closing, not releasing: the connection goes, and with it the server's statement.
            self._response.close()
            self._response = None


def open_stream(
    client: Client, query: str, params: Optional[dict[str, Any]], answer_format: str
) -> EngineStream:
    """Sends one SELECT (its `%(name)s` placeholders bound as the client binds them) and gives its
    answer in `answer_format` ("JSONEachRow", "CSVWithNames", "Parquet", ...) as a stream."""
    if not isinstance(client, Client):
        raise TypeError(f"streaming needs a kelvora.clickhouse client, not {type(client).__name__}")
    statement = _clickhouse.bind(query, params, client.timezone)
    transport = client._transport
    if isinstance(transport, _Embedded):
        return _EmbeddedStream(transport, statement, answer_format)
    return _ServerStream(transport, statement, answer_format)


class _EngineStreamResponse(StreamingResponse):
    """A streamed answer that closes its engine stream however the answer ends: sent whole, or
    cut short by a client that went away (the stream is then stopped at the engine)."""

    def __init__(self, stream: EngineStream, first: Optional[bytes], media_type: str):
        self._stream = stream
        super().__init__(self._chunks(first), media_type=media_type)

    async def _chunks(self, first: Optional[bytes]) -> AsyncIterator[bytes]:
        chunk = first
        while chunk is not None:
            yield chunk
            chunk = await run_in_threadpool(self._stream.next_chunk)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            with anyio.CancelScope(shield=True):
                await run_in_threadpool(self._stream.close)


async def stream_response(
    client: Client,
    query: str,
    params: Optional[dict[str, Any]],
    answer_format: str,
    media_type: str,
) -> StreamingResponse:
    """A FastAPI answer streaming the statement's answer. The statement is sent and its first
    chunk read before the answer starts, so a statement the engine refuses raises here."""

    def start() -> tuple[EngineStream, Optional[bytes]]:
        stream = open_stream(client, query, params, answer_format)
        try:
            return stream, stream.next_chunk()
        except BaseException:
            stream.close()
            raise

    stream, first = await run_in_threadpool(start)
    return _EngineStreamResponse(stream, first, media_type)


def insert_bytes(client: Client, statement: str, data: bytes, data_format: str) -> None:
    """Runs `statement` ("INSERT INTO t", no placeholders) on `data` in the engine's
    `data_format` (Parquet, ...), which no text statement can carry."""
    if not isinstance(client, Client):
        raise TypeError(
            f"binary inserts need a kelvora.clickhouse client, not {type(client).__name__}"
        )
    transport = client._transport
    if isinstance(transport, _Embedded):
        # The embedded engine takes statements as text: the data goes through a file it reads.
        handle, path = tempfile.mkstemp(suffix="." + data_format.lower())
        try:
            with os.fdopen(handle, "wb") as file:
                file.write(data)
            literal = "'" + path.replace("\\", "\\\\").replace("'", "\\'") + "'"
            transport.run(f"{statement} FROM INFILE {literal} FORMAT {data_format}")
        finally:
            os.unlink(path)
        return
    path = "/?" + urllib.parse.urlencode(
        {**transport._settings, "query": f"{statement} FORMAT {data_format}"}
    )
    response = transport._pool.urlopen(
        "POST", path, body=data, headers=transport._headers, retries=False
    )
    if response.status != 200:
        raise ClickHouseError(response.data.decode("utf-8", "replace").strip())
