"""Progress of the collection jobs on standard error: a bar per stage with files per second."""

import contextlib
import time

from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    ProgressColumn,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
)
from rich.text import Text


class FilesPerSecond(ProgressColumn):
    """Files per second since the stage began. Not the bar's own estimate over its last updates:
    results come back in bursts (those read by this process wait for the workers' older ones), and
    a burst of updates a few microseconds apart would show millions of files per second."""

    def render(self, task):
        elapsed = task.elapsed
        if not elapsed or not task.completed:
            return Text("? files/s", style="cyan")
        return Text(f"{task.completed / elapsed:,.0f} files/s", style="cyan")


class Stages:
    """The on_stage / on_done callbacks of the jobs, drawing into one rich Progress. The bars are
    redrawn from these callbacks, at most REDRAWS_PER_SECOND times a second, rather than by a
    thread of their own: a process without other threads can fork its workers (see the runner)."""

    REDRAWS_PER_SECOND = 10

    def __init__(self, progress):
        self.progress = progress
        self.task = None
        self.drawn = 0.0

    def on_stage(self, description, total):
        if self.task is not None:
            self.progress.stop_task(self.task)
        self.task = self.progress.add_task(description, total=total)
        self._redraw(force=True)

    def on_done(self, count):
        self.progress.advance(self.task, count)
        self._redraw()

    def _redraw(self, force=False):
        now = time.monotonic()
        if force or now - self.drawn >= 1 / self.REDRAWS_PER_SECOND:
            self.drawn = now
            self.progress.refresh()


@contextlib.contextmanager
def progress_bars():
    """Yields a Stages drawing on standard error (plainly, once at the end, when it is not a
    terminal)."""
    columns = (
        TextColumn("{task.description}"),
        BarColumn(),
        MofNCompleteColumn(),
        FilesPerSecond(),
        TimeElapsedColumn(),
        TimeRemainingColumn(),
    )
    with Progress(*columns, console=Console(stderr=True), auto_refresh=False) as progress:
        yield Stages(progress)
