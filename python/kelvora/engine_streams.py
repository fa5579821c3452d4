"""Statements whose answer or data is too large to hold: a SELECT's answer streamed in the engine's
own output format, chunk by chunk, and binary data (Parquet) handed to an INSERT as it is.

Both work on the clients of `kelvora.clickhouse`. On the embedded engine a stream reads its
answer on an engine connection of its own (a connection with an open stream answers nothing
else), so the client's other statements run beside it. On a server the answer comes as the
server writes it; closing the stream closes its connection, which stops the statement at the
server's next write.

A streamed answer reads ahead: the next chunks are read from the engine while the current one
is sent, a few at most, so the engine and the client's socket work at the same time in bounded
memory.
"""

from __future__ import annotations

import io
import os
import tempfile
import urllib.parse
from typing import Any, Optional, Protocol

import anyio
from fastapi.concurrency import run_in_threadpool
from starlette.responses import StreamingResponse
from starlette.types import Receive, Scope, Send

from kelvora import _clickhouse
from kelvora.clickhouse import ClickHouseError, Client, _Embedded, _Server

__all__ = ["EngineStream", "open_stream", "stream_response", "insert_bytes"]

_CHUNK = 1 << 16
# Chunks read from the engine while the one before them is sent (the embedded engine's
# are about 1 MB).
_CHUNKS_AHEAD = 2


class EngineStream(Protocol):
    """The answer of one statement: `next_chunk()` gives bytes until it gives None."""

    def next_chunk(self) -> Optional[bytes]: ...

    def close(self) -> None: ...


class _EmbeddedStream:
    def __init__(self, transport: _Embedded, statement: str, answer_format: str):
        from chdb import session

        # The process's one engine takes any number of connections to its data directory; this
        # one lives as long as the stream.
        self._session: Any = session.Session(transport.path)
        try:
            # One formatting thread: the answer is sent from this process as it is made, and
            # the sending needs a core more than the formatting does.
            self._session.query("SET output_format_parallel_formatting = 0")
            self._result = self._session.send_query(statement, answer_format)
        except Exception as error:
            self._end()
            raise ClickHouseError(str(error)) from None
        self._parquet = _ParquetBlocks(statement) if answer_format == "Parquet" else None

    def next_chunk(self) -> Optional[bytes]:
        if self._session is None:
            return None
        try:
            chunk = self._result.fetch()
        except Exception as error:
            self.close()
            raise ClickHouseError(str(error)) from None
        if chunk is None:
            try:
                return self._parquet.end(self._session) if self._parquet is not None else None
            finally:
                self.close()
        data: bytes = chunk.bytes()
        return self._parquet.block(data) if self._parquet is not None else data

    def close(self) -> None:
        if self._session is None:
            return
        try:
            self._result.cancel()
        finally:
            self._end()

    def _end(self) -> None:
        session, self._session = self._session, None
        if session is not None:
            session.close()


class _ParquetBlocks:
    """The embedded engine streams a Parquet answer as a whole Parquet file per block: their row
    groups are written on into one file, which the stream gives as it grows. An answer of no rows
    streams no block: it is the engine's file of no rows."""

    def __init__(self, statement: str) -> None:
        self._statement = statement
        self._out = _Outbox()
        self._writer: Any = None
        self._ended = False

    def block(self, data: bytes) -> bytes:
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(io.BytesIO(data))
        if self._writer is None:
            self._writer = pyarrow.parquet.ParquetWriter(self._out, table.schema)
        self._writer.write_table(table)
        return self._out.take()

    def end(self, session: Any) -> Optional[bytes]:
        if self._ended:
            return None
        self._ended = True
        if self._writer is None:
            empty = f"SELECT * FROM ({self._statement}) LIMIT 0"
            try:
                data: bytes = session.query(empty, "Parquet").bytes()
            except Exception as error:
                raise ClickHouseError(str(error)) from None
            return data
        self._writer.close()
        return self._out.take()


class _Outbox(io.RawIOBase):
    """A file that hands out what was written to it, keeping only its position (which the Parquet
    writer's offsets count from)."""

    def __init__(self) -> None:
        super().__init__()
        self._parts: list[bytes] = []
        self._written = 0

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        part = bytes(data)
        self._parts.append(part)
        self._written += len(part)
        return len(part)

    def tell(self) -> int:
        return self._written

    def take(self) -> bytes:
        data = b"".join(self._parts)
        self._parts.clear()
        return data


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
    """A streamed answer read ahead of its sending, which closes its engine stream however the
    answer ends: sent whole, or cut short by a client that went away (the stream is then
    stopped at the engine)."""

    def __init__(self, stream: EngineStream, first: Optional[bytes], media_type: str):
        self._stream = stream
        self._first = first
        self._chunks, self._received = anyio.create_memory_object_stream[bytes](_CHUNKS_AHEAD)
        super().__init__(self._received, media_type=media_type)

    async def _read_ahead(self) -> None:
        async with self._chunks:
            chunk = self._first
            while chunk is not None:
                await self._chunks.send(chunk)
                chunk = await anyio.to_thread.run_sync(self._stream.next_chunk)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            async with self._received:
                async with anyio.create_task_group() as reading:
                    reading.start_soon(self._read_ahead)
                    await super().__call__(scope, receive, send)
                    # A client that left ends the sending early: nobody waits for more chunks.
                    reading.cancel_scope.cancel()
        except BaseExceptionGroup as failures:
            # The sending's or the reading's failure leaves as itself, as the framework's own.
            if len(failures.exceptions) != 1:
                raise
            failure = failures.exceptions[0]
            raise failure from failure.__cause__ or failure.__context__
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
