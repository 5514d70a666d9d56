"""Values and result records kept by content: ``<store>/objects/ab/abcd...``.

A value enters as a hard link to the file the worker wrote (a copy where a
link cannot be made), so keeping it costs no bytes; the Hive tree under
``assets/`` keeps its usual names and bytes. Objects are only ever created
whole (a temporary name, then a rename) and never changed by vorda; a tree
file written in place changes its linked object too, which is why whatever
reads one checks its hash first, and why the next keep of that value
replaces it.
"""

from __future__ import annotations

import errno
import hashlib
import os
import re
import shutil
import uuid
from pathlib import Path

from vorda.run.store import files


_DIGEST = re.compile(r"[0-9a-f]{64}")


class Objects:
    def __init__(self, root: Path) -> None:
        self.root = root
        self._root_text = str(root)
        self._folders: set[str] = set()  # made or found real by this process

    def where(self, digest: str) -> str:
        """path(), as text."""
        return f"{self._root_text}/{digest[:2]}/{digest}"

    def path(self, digest: str) -> Path:
        return Path(self.where(digest))

    def has(self, digest: str) -> bool:
        return os.path.lexists(self.where(digest))

    def _folder(self, digest: str) -> str:
        prefix = digest[:2]
        if prefix not in self._folders:
            files.make_dirs(self.root.parent, [self.root.name, prefix])
            self._folders.add(prefix)
        return f"{self._root_text}/{prefix}"

    def keep_file(self, source: str | Path, digest: str) -> None:
        """Keep the file `source`, whose sha256 is `digest` (as the caller
        just checked), unless that object is there and intact."""
        try:
            mine, kept = os.lstat(source), os.lstat(self.where(digest))
        except OSError:
            pass
        else:
            if os.path.samestat(mine, kept):
                return
            # A file of its own, from an earlier run: intact unless it was
            # once a link of a tree file that was then written in place.
            if kept.st_size == mine.st_size and self.checked(digest):
                return
        temporary = f"{self._folder(digest)}/.{digest}.{uuid.uuid4().hex}.tmp"
        try:
            try:
                os.link(source, temporary, follow_symlinks=False)
            except OSError as error:
                if error.errno not in (errno.EXDEV, errno.EPERM, errno.EMLINK, errno.ENOTSUP):
                    raise
                with os.fdopen(files.open_nofollow(source), "rb") as src, \
                        os.fdopen(files.create_exclusive(temporary), "wb") as out:
                    shutil.copyfileobj(src, out, files.CHUNK)
            os.replace(temporary, self.where(digest))
        except BaseException:
            files.remove_file(temporary)
            raise

    def keep_bytes(self, data: bytes) -> str:
        """Keep `data`; its sha256."""
        digest = hashlib.sha256(data).hexdigest()
        if not self.has(digest):
            temporary = f"{self._folder(digest)}/.{digest}.{uuid.uuid4().hex}.tmp"
            try:
                with os.fdopen(files.create_exclusive(temporary), "wb") as out:
                    out.write(data)
                os.replace(temporary, self.where(digest))
            except BaseException:
                files.remove_file(temporary)
                raise
        return digest

    def read_checked(self, digest: str, limit: int) -> bytes | None:
        """An object's bytes (at most `limit`), or None if it is missing,
        too large or not what its name says."""
        try:
            data = files.read_limited(files.open_under(self.root, self.path(digest)), limit + 1)
        except OSError:
            return None
        if len(data) > limit or hashlib.sha256(data).hexdigest() != digest:
            return None
        return data

    def checked(self, digest: str) -> bool:
        """Whether the object is there and its bytes have its hash."""
        try:
            return files.hash_fd(files.open_under(self.root, self.path(digest))) == digest
        except OSError:
            return False

    def place(self, digest: str, target: Path) -> None:
        """Put the object at `target` (a hard link, else a copy), replacing
        what is there without following it."""
        temporary = target.with_name(f".{target.name}.{uuid.uuid4().hex}.tmp")
        try:
            try:
                os.link(self.path(digest), temporary, follow_symlinks=False)
            except OSError as error:
                if error.errno not in (errno.EXDEV, errno.EPERM, errno.EMLINK, errno.ENOTSUP):
                    raise
                with os.fdopen(files.open_nofollow(self.path(digest)), "rb") as src, \
                        os.fdopen(files.create_exclusive(temporary), "wb") as out:
                    shutil.copyfileobj(src, out, files.CHUNK)
            os.replace(temporary, target)
        except BaseException:
            files.remove_file(temporary)
            raise

    def all(self) -> list[str]:
        """Every object's hash: the files named as objects are (anything else
        there is not vorda's to count or remove)."""
        found: list[str] = []
        try:
            folders = list(self.root.iterdir())
        except OSError:
            return []
        for folder in folders:
            if folder.is_dir() and not folder.is_symlink():
                found.extend(entry.name for entry in folder.iterdir()
                             if _DIGEST.fullmatch(entry.name) and entry.name[:2] == folder.name)
        return found

    def size_alone(self, digest: str) -> int:
        """What removing the object would free."""
        try:
            info = os.lstat(self.path(digest))
        except OSError:
            return 0
        return info.st_size if info.st_nlink == 1 else 0

    def remove(self, digest: str) -> int:
        """Remove an object; the bytes that frees (none while the tree still
        links the same file)."""
        path = self.path(digest)
        try:
            info = os.lstat(path)
            os.unlink(path)
        except FileNotFoundError:
            return 0
        return info.st_size if info.st_nlink == 1 else 0
