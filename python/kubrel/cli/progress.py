"""Progress of the collection jobs on standard error: a bar per stage with files per second."""

import contextlib

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
    def render(self, task):
        speed = task.finished_speed or task.speed
        return Text("? files/s" if speed is None else f"{speed:,.0f} files/s", style="cyan")


class Stages:
    """The on_stage / on_done callbacks of the jobs, drawing into one rich Progress."""

    def __init__(self, progress):
        self.progress = progress
        self.task = None

    def on_stage(self, description, total):
        if self.task is not None:
            self.progress.stop_task(self.task)
        self.task = self.progress.add_task(description, total=total)

    def on_done(self, count):
        self.progress.advance(self.task, count)


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
    with Progress(*columns, console=Console(stderr=True)) as progress:
        yield Stages(progress)
