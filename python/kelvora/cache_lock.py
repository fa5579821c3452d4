"""A lock that many readers share and one writer holds alone, the writer going first."""

import contextlib
import threading
from typing import Iterator

__all__ = ["SharedLock"]


class SharedLock:
    """Readers hold it together; a writer holds it alone. A waiting writer keeps new readers
    out, so a steady stream of readers cannot starve it."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._readers = 0
        self._writers = 0  # waiting or writing

    @contextlib.contextmanager
    def reading(self) -> Iterator[None]:
        with self._changed:
            while self._writers:
                self._changed.wait()
            self._readers += 1
        try:
            yield
        finally:
            with self._changed:
                self._readers -= 1
                if not self._readers:
                    self._changed.notify_all()

    @contextlib.contextmanager
    def writing(self) -> Iterator[None]:
        """Held alone; callers serialise writers among themselves."""
        with self._changed:
            self._writers += 1
            while self._readers:
                self._changed.wait()
        try:
            yield
        finally:
            with self._changed:
                self._writers -= 1
                self._changed.notify_all()
