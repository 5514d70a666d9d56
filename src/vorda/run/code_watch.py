"""Whether a finished job may have run other code than its asset's recorded
code version: a project file it reads, edited while the run went.

Discovery notes each file a code version was read from, as it was then. A
job passes when its files are still so. When one changed, the job fails if
the change may have reached it (made after the job, or the servers it was
forked from, could first read the file) or if the files, read again, give
its asset another code version: an edit to other code, made before the job
began, passes.
"""

from __future__ import annotations

import os
from typing import Callable

from vorda.run.planning.code_version import Project
from vorda.run.planning.discovery import Asset
from vorda.run.store.layout import stat_text
from vorda.run.timing import CODE_CHANGE_MARGIN


class CodeWatch:
    def __init__(self, project: Callable[[], Project] | None = None, read_since: float | None = 0.0) -> None:
        """`project` reads the project afresh (None: a changed file always
        fails its jobs). `read_since`: when the jobs' servers read their code
        (a wall time), or None when each job reads it as it starts; 0.0, the
        default, takes any change as one a job may have met."""
        self.project, self.read_since = project, read_since
        self.batch()

    def batch(self) -> None:
        """Forget the files: the jobs about to be asked about ended after this."""
        self._files: dict[str, tuple[str, float] | None] = {}  # path -> its stat text and ctime now
        self._same: dict[str, bool] = {}  # asset ref -> its code version still holds
        self._fresh: Project | None = None

    def edited(self, asset: Asset, started: float) -> str | None:
        """A file of the asset's code that a job of it started at `started`
        (a wall time) may have met changed, or None."""
        edited, latest = [], 0.0
        for path, recorded in asset.code_files:
            if path not in self._files:
                try:
                    info = os.stat(path)
                    self._files[path] = (stat_text(info), info.st_ctime)
                except OSError:
                    self._files[path] = None
            now = self._files[path]
            if now is None:
                return path
            if now[0] != recorded:
                edited.append(path)
                latest = max(latest, now[1])
        if not edited:
            return None
        if latest + CODE_CHANGE_MARGIN >= (started if self.read_since is None else self.read_since):
            return edited[0]
        same = self._same.get(asset.ref)
        if same is None:
            if self._fresh is None and self.project is not None:
                self._fresh = self.project()
            same = self._same[asset.ref] = self._fresh is not None and asset.same_code(self._fresh)
        return None if same else edited[0]
