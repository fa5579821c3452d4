"""The changes of one stored configuration, as every process writes them, for watchers.

A ``ConfigFeed`` polls the store's table for one configuration (``ConfigStore.get_state``: one
statement without payloads) every ``interval`` seconds while anybody watches, and wakes its
watchers when the table holds a revision it has not seen: long polls waiting for a version past
theirs (``wait``) and event streams (``events``). There is one feed per configuration (engine,
table, name, environment) and event loop in a process, shared by every watcher and every store of
that configuration, so the engine's cost is one statement per interval however many watch, plus
one read of the new revisions per change. Changes made by other processes on the same table are
seen within one interval; the poller runs only while it has watchers.

Each change is an event ``{"version", "revision", "changed"}``: ``changed`` lists the top-level
keys whose values differ from what the revision superseded (the previous latest configuration for
a write of the latest version, that version's previous revision for an edit of an older one).
The feed keeps the last ``kept`` events, so a stream that resumes after a short break (SSE's
Last-Event-ID) gets what it missed.
"""

import asyncio
import collections
import contextlib
import json
import logging
import time
from collections.abc import AsyncIterator, Iterator
from typing import Any, Callable, Deque, Dict, List, Tuple

from kelvora.backend import ConfigStore

__all__ = ["ConfigFeed"]

logger = logging.getLogger(__name__)

_HEARTBEAT = 15.0


def _changed_keys(before: Dict[str, Any], after: Dict[str, Any]) -> List[str]:
    """The top-level keys added, removed or changed between two configurations, in order."""
    keys = [k for k in after if k not in before or _text(after[k]) != _text(before[k])]
    return keys + [k for k in before if k not in after]


def _text(value: Any) -> str:
    return json.dumps(value, sort_keys=True)


class ConfigFeed:
    """The changes of one configuration; ``ConfigFeed.of(store)`` gives the shared one."""

    interval: float = 0.25
    kept: int = 256
    _feeds: Dict[Tuple[Any, ...], "ConfigFeed"] = {}

    def __init__(self, store: ConfigStore) -> None:
        self.store = store
        self.state: Dict[str, int] = {}
        self._events: Deque[Dict[str, Any]] = collections.deque(maxlen=self.kept)
        self._seen = 0
        self._latest: Tuple[int, Dict[str, Any]] = (0, {})
        self._watchers = 0
        self._task: asyncio.Task[None] | None = None
        self._ready = asyncio.Event()
        self._changed = asyncio.Event()
        self._loop = asyncio.get_running_loop()

    @classmethod
    async def of(cls, store: ConfigStore) -> "ConfigFeed":
        """The feed of the store's configuration in this process and event loop."""
        if not store._ready:
            await asyncio.to_thread(store.get_version)
        loop = asyncio.get_running_loop()
        feed = cls._feeds.get(store._identity)
        if feed is None or feed._loop is not loop:
            feed = cls._feeds[store._identity] = cls(store)
        return feed

    async def wait(self, version: int, timeout: float) -> Dict[str, int]:
        """The configuration's state once its version is past ``version``, or after ``timeout``
        seconds, whichever comes first."""
        deadline = time.monotonic() + timeout
        with self._watching():
            await self._ready.wait()
            while self.state["version"] <= version:
                changed = self._changed
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                try:
                    await asyncio.wait_for(changed.wait(), remaining)
                except TimeoutError:
                    break
            return dict(self.state)

    async def events(
        self, after: int | None, encode: Callable[[Dict[str, Any] | None], Any]
    ) -> AsyncIterator[Any]:
        """``encode(event)`` for each change after revision ``after`` (None: from now on), as it
        comes, and ``encode(None)`` after each quiet ``_HEARTBEAT`` seconds; endless."""
        with self._watching():
            await self._ready.wait()
            position = self._seen if after is None else after
            while True:
                changed = self._changed
                for event in [e for e in self._events if e["revision"] > position]:
                    position = event["revision"]
                    yield encode(event)
                try:
                    await asyncio.wait_for(changed.wait(), _HEARTBEAT)
                except TimeoutError:
                    yield encode(None)

    # ---- the poller ---------------------------------------------------------------------------

    @contextlib.contextmanager
    def _watching(self) -> Iterator[None]:
        """One watcher while the block runs: the poller runs while there is one."""
        self._watchers += 1
        if self._task is None:
            self._ready = asyncio.Event()
            self._task = self._loop.create_task(self._poll())
        try:
            yield
        finally:
            self._watchers -= 1

    async def _poll(self) -> None:
        while self._watchers:
            try:
                await self._look()
            except Exception as error:  # the next look tries again; watchers keep waiting
                logger.warning("Config feed poll failed: " + str(error), exc_info=error)
            await asyncio.sleep(self.interval)
        self._task = None

    async def _look(self) -> None:
        state = await asyncio.to_thread(self.store.get_state)
        if not self._ready.is_set():
            if not self._seen:
                self._seen = state["last_revision"]
                found = await asyncio.to_thread(self.store.get_revision, state["revision"])
                self._latest = (state["version"], found["payload"] if found else {})
            self.state = state
            self._ready.set()
        if state["last_revision"] > self._seen:
            rows = await asyncio.to_thread(self.store.get_revisions_after, self._seen)
            for row in rows:
                self._events.append(await self._event(row))
                self._seen = row["revision"]
        if state != self.state:
            self.state = state
            self._changed.set()
            self._changed = asyncio.Event()

    async def _event(self, row: Dict[str, Any]) -> Dict[str, Any]:
        version, payload = row["version"], row["payload"]
        if version >= self._latest[0]:
            before = self._latest[1]
            self._latest = (version, payload)
        else:
            history = await asyncio.to_thread(self.store.get_revision_history, version)
            older = [r["payload"] for r in history if r["revision"] < row["revision"]]
            before = older[0] if older else {}
        return {
            "version": version,
            "revision": row["revision"],
            "changed": _changed_keys(before, payload),
        }
