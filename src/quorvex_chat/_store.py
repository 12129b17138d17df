"""Where a conversation keeps the originals of what its prompts elide, by handle.

A store is any mutable mapping from handle to text. Two come with the library: one in
memory, the default, and one in a SQLite file for originals that outlive the process or
are shared by several workers. Both are bounded, forgetting their oldest texts first; a
forgotten handle is one the model can no longer recall, never a wrong text.
"""

from __future__ import annotations

import os
import re
import sqlite3
import threading
from collections import OrderedDict
from typing import Any, Iterator, Mapping, MutableMapping, Union

#: What `store=` takes: a mapping of handle to text, or the path of a SQLite file.
StoreLike = Union[MutableMapping[str, str], str, "os.PathLike[str]", None]

DEFAULT_MEMORY_CHARS = 64 << 20
DEFAULT_FILE_BYTES = 1 << 30


def _bound(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value


class MemoryStore(MutableMapping[str, str]):
    """Originals in this process, the oldest forgotten once they hold over `max_chars`."""

    def __init__(self, max_chars: int = DEFAULT_MEMORY_CHARS) -> None:
        self.max_chars = _bound("max_chars", max_chars)
        #: A text, or the pieces it is the concatenation of: the parts of a long dropped
        #: stretch overlap from one compaction to the next, and as pieces they share the
        #: messages' own strings instead of each holding a copy of them.
        self._texts: OrderedDict[str, str | tuple[str, ...]] = OrderedDict()
        self._chars = 0
        self._lock = threading.Lock()

    def __getitem__(self, handle: str) -> str:
        return _text(self._texts[handle])

    def __setitem__(self, handle: str, text: str) -> None:
        with self._lock:
            self._put(handle, text)

    def _put(self, handle: str, text: str | tuple[str, ...]) -> None:
        old = self._texts.pop(handle, None)
        self._chars += _length(text) - (0 if old is None else _length(old))
        self._texts[handle] = text
        while self._chars > self.max_chars and len(self._texts) > 1:
            self._chars -= _length(self._texts.popitem(last=False)[1])

    def _keep_pieces(self, handle: str, pieces: tuple[str, ...]) -> bool:
        """Hold the concatenation of `pieces` under `handle` as the newest text, unless
        the handle names another text: whether it does not."""
        with self._lock:
            held = self._texts.get(handle)
            if held is not None and held != pieces and _text(held) != "".join(pieces):
                return False
            self._put(handle, pieces)
        return True

    def _again(self, handles: list[str]) -> list[str]:
        """Make `handles` the newest texts, in order, without writing them: those no
        longer held."""
        with self._lock:
            texts = self._texts
            missing = [handle for handle in handles if handle not in texts]
            for handle in handles:
                if handle in texts:
                    texts.move_to_end(handle)
        return missing

    def __delitem__(self, handle: str) -> None:
        with self._lock:
            self._chars -= _length(self._texts.pop(handle))

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._texts))

    def __len__(self) -> int:
        return len(self._texts)


def _text(held: str | tuple[str, ...]) -> str:
    return held if isinstance(held, str) else "".join(held)


def _length(text: str | tuple[str, ...]) -> int:
    return len(text) if isinstance(text, str) else sum(map(len, text))


#: The table of a `SQLiteStore` of originals, and that of the adapters' conversation states.
ORIGINALS_TABLE, STATES_TABLE = "quorvex_originals", "quorvex_conversations"
_TABLE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,62}")


class SQLiteStore(MutableMapping[str, str]):
    """Originals in a SQLite file, under `key` (one conversation, or one application's).

    Several processes may open the same file: SQLite serialises their writes. The texts of
    one key are bounded by `max_bytes` of UTF-8, the oldest written deleted first. `table`
    names the table, so that one file can hold the originals and the adapters' conversation
    states side by side.
    """

    def __init__(self, path: str | os.PathLike[str], *, key: str = "",
                 max_bytes: int = DEFAULT_FILE_BYTES, table: str = ORIGINALS_TABLE) -> None:
        if not isinstance(key, str):
            raise TypeError(f"key must be a str, not {type(key).__name__}")
        if not isinstance(table, str) or not _TABLE_NAME.fullmatch(table):
            raise ValueError(f"table must be an SQL name of letters, digits and underscores, "
                             f"not {table!r}")
        self.path, self.key, self.table = os.fspath(path), key, table
        self.max_bytes = _bound("max_bytes", max_bytes)
        self._lock = threading.Lock()
        self._db = sqlite3.connect(self.path, timeout=30.0, check_same_thread=False,
                                   isolation_level=None)
        with self._lock:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute(
                f"CREATE TABLE IF NOT EXISTS {table} (seq INTEGER PRIMARY KEY, "
                "key TEXT NOT NULL, handle TEXT NOT NULL, text TEXT NOT NULL, "
                "bytes INTEGER NOT NULL, UNIQUE (key, handle))")

    def __getitem__(self, handle: str) -> str:
        with self._lock:
            row = self._db.execute(f"SELECT text FROM {self.table} WHERE key = ? AND "
                                   "handle = ?", (self.key, handle)).fetchone()
        if row is None:
            raise KeyError(handle)
        return str(row[0])

    def __setitem__(self, handle: str, text: str) -> None:
        self.update({handle: text})

    def update(self, other: Any = (), /, **more: str) -> None:
        """Write the texts in one transaction: a conversation writes back those its prompt
        names at every compaction."""
        pairs = list((other.items() if isinstance(other, Mapping) else other)) + \
            list(more.items())
        rows = [(self.key, handle, text, len(text.encode("utf-8", "surrogatepass")))
                for handle, text in pairs]
        if not rows:
            return
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                self._db.executemany(f"INSERT OR REPLACE INTO {self.table} (key, handle, "
                                     "text, bytes) VALUES (?, ?, ?, ?)", rows)
                self._forget_oldest()
                self._db.execute("COMMIT")
            except BaseException:
                self._db.execute("ROLLBACK")
                raise

    def _forget_oldest(self) -> None:
        (held,) = self._db.execute(f"SELECT COALESCE(SUM(bytes), 0) FROM {self.table} "
                                   "WHERE key = ?", (self.key,)).fetchone()
        if held <= self.max_bytes:
            return
        rows = self._db.execute(f"SELECT seq, bytes FROM {self.table} WHERE key = ? "
                                "ORDER BY seq", (self.key,))
        last = None
        for seq, size in rows.fetchall()[:-1]:  # the text just written stays
            if held <= self.max_bytes:
                break
            held -= size
            last = seq
        if last is not None:
            self._db.execute(f"DELETE FROM {self.table} WHERE key = ? AND seq <= ?",
                             (self.key, last))

    def __delitem__(self, handle: str) -> None:
        with self._lock:
            gone = self._db.execute(f"DELETE FROM {self.table} WHERE key = ? AND "
                                    "handle = ?", (self.key, handle)).rowcount
        if not gone:
            raise KeyError(handle)

    def __iter__(self) -> Iterator[str]:
        with self._lock:
            rows = self._db.execute(f"SELECT handle FROM {self.table} WHERE key = ? "
                                    "ORDER BY seq", (self.key,)).fetchall()
        return iter([str(row[0]) for row in rows])

    def __len__(self) -> int:
        with self._lock:
            (count,) = self._db.execute(f"SELECT COUNT(*) FROM {self.table} WHERE "
                                        "key = ?", (self.key,)).fetchone()
        return int(count)

    def close(self) -> None:
        with self._lock:
            self._db.close()


def store_of(store: StoreLike, *, table: str = ORIGINALS_TABLE,
             name: str = "store") -> MutableMapping[str, str]:
    """The store `store=` names: a fresh `MemoryStore` for None, a `SQLiteStore` (of
    `table`) for a path, and any mutable mapping as it is."""
    if store is None:
        return MemoryStore()
    if isinstance(store, (str, os.PathLike)):
        return SQLiteStore(store, table=table)
    if isinstance(store, MutableMapping):
        return store
    raise TypeError(f"{name} must be a mutable mapping of str to str or the path of a "
                    f"SQLite file, not {type(store).__name__}")
