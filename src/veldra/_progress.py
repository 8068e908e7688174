"""Progress of a long search, one reporter for every front end.

The search calls ``progress(done, total, seconds)`` a few times a second.
:class:`ProgressLine` draws that as a line of text on a terminal or in a
log (the command line's display, and ``progress=True`` without tqdm);
``progress=True`` shows tqdm's bar when tqdm is installed, which also
renders in notebooks.
"""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from ._checks import check_flag
from ._text import format_seconds

__all__ = ["ProgressCallback", "ProgressLine", "progress_callback"]

#: Called with (evaluations done, evaluations in all, seconds since the call
#: began) when the search starts, after every range and at the end.
ProgressCallback = Callable[[int, int, float], object]

# A terminal's line is rewritten in place this often; a log gets a new line
# this often.
_TTY_INTERVAL = 0.5
_LOG_INTERVAL = 10.0

_EXPECTED = (
    "None, a bool or a callable taking (evaluations done, evaluations in all, seconds)"
)


class ProgressLine:
    """Progress as a line of text: how much is done, how long it took, and
    how long the rest should take.

    On a terminal the line is rewritten in place every half second; on any
    other stream (a log file, a pipe) a new line is written every ten
    seconds. Nothing is shown in the first interval, so short work shows
    nothing at all. Pass it as ``progress``, or call :meth:`update`. A
    stream that cannot be written (closed, None, on a full disk) ends the
    display for good, never the work.

    Parameters
    ----------
    stream : text stream, optional
        Where the line goes; standard error by default.
    what : str, default="searching"
        The work, named in the line: ``veldra: searching: 42.0 %, 1.2 s
        elapsed, about 1.7 s left``.
    keep : bool, default=False
        Leave a last line when :meth:`finish` is called (at 100 % when the
        work was complete) rather than erasing the line from a terminal.

    Examples
    --------
    >>> import io
    >>> log = io.StringIO()
    >>> line = ProgressLine(log)
    >>> line(50, 100, 12.0)
    >>> log.getvalue()
    'veldra: searching: 50.0 %, 12.0 s elapsed, about 12.0 s left\\n'
    """

    def __init__(
        self,
        stream: TextIO | None = None,
        what: str = "searching",
        *,
        keep: bool = False,
    ) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.what = what
        self.keep = check_flag(keep, "keep")
        self.tty = False
        with contextlib.suppress(Exception):  # such as a closed stream
            self.tty = bool(self.stream.isatty())  # type: ignore[union-attr]
        self.interval = _TTY_INTERVAL if self.tty else _LOG_INTERVAL
        self.next_update = self.interval
        self.shown = False
        self.last: tuple[int, int, float] | None = None
        self._dropped = self.stream is None

    def __call__(self, done: int, total: int, seconds: float) -> None:
        self.update(done, total, seconds)

    def update(self, done: int, total: int, seconds: float) -> None:
        """Take the work done so far; draw it when an interval has passed."""
        self.last = (done, total, seconds)
        if seconds < self.next_update or done >= total:
            return
        self.next_update = seconds + self.interval
        self._write(self.text(done, total, seconds))

    def finish(self) -> None:
        """End the display: erase the line from a terminal, or with ``keep``
        write the last state for good."""
        if self.keep and self.last is not None:
            self._write(self.text(*self.last))
            if self.tty:
                self._put("\n")
        elif self.tty and self.shown:
            self._put("\r\033[K")
        self.shown = False

    def text(self, done: int, total: int, seconds: float) -> str:
        """'veldra: searching: 42.0 %, 1.2 s elapsed, about 1.7 s left'."""
        share = done / total if total else 1.0
        text = (
            f"veldra: {self.what}: {100 * share:.1f} %,"
            f" {format_seconds(seconds)} elapsed"
        )
        if 0 < share < 1 and seconds > 0:
            text += f", about {format_seconds(seconds * (1 - share) / share)} left"
        return text

    def _write(self, text: str) -> None:
        self._put("\r" + text + "\033[K" if self.tty else text + "\n")
        self.shown = True

    def _put(self, text: str) -> None:
        # A display must not stop the work it shows: a stream that cannot be
        # written (full, closed, None) drops the display for good.
        if self._dropped:
            return
        try:
            self.stream.write(text)  # type: ignore[union-attr]
            flush = getattr(self.stream, "flush", None)
            if flush is not None:
                flush()
        except Exception:  # noqa: BLE001 - whatever the stream raises
            self._dropped = True


class _Bar:
    """tqdm's bar, dropped for good (and quietly) the first time drawing it
    fails, as :class:`ProgressLine` drops its line."""

    def __init__(self, tqdm: Any, what: str, unit: str) -> None:
        self.bar = None
        with contextlib.suppress(Exception):
            self.bar = tqdm(total=None, unit=unit, unit_scale=True, desc=what)

    def __call__(self, done: int, total: int, seconds: float) -> None:
        bar = self.bar
        if bar is None:
            return
        try:
            if bar.total != total:
                bar.total = total
            bar.update(done - bar.n)
        except Exception:  # noqa: BLE001 - whatever drawing raises
            self.bar = None
            with contextlib.suppress(Exception):
                bar.disable = True  # its close() and __del__ draw nothing

    def finish(self) -> None:
        bar, self.bar = self.bar, None
        if bar is not None:
            with contextlib.suppress(Exception):
                bar.close()


def _tqdm() -> Any:
    """tqdm's class for the environment (a notebook's or a terminal's), or
    None when tqdm is not installed."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm


@contextlib.contextmanager
def progress_callback(
    progress: bool | ProgressCallback | None,
    *,
    what: str = "searching",
    unit: str = "eval",
) -> Iterator[ProgressCallback | None]:
    """The callback a search reports to for the ``progress`` argument: None
    for none, tqdm's bar (or a :class:`ProgressLine` without tqdm) for True,
    the function itself for a callable; closed when the search ends.

    The bar and the line never stop the work: they are dropped when they
    cannot be drawn. A callable's exceptions are the caller's, and stop it.
    ``what`` and ``unit`` name the work and what it counts."""
    if progress is None or callable(progress):
        yield progress
        return
    if not check_flag(progress, "progress", _EXPECTED):
        yield None
        return
    tqdm = _tqdm()
    # Chosen outside any except clause: what stops the work must not carry
    # a missing tqdm as its context.
    display: _Bar | ProgressLine = (
        ProgressLine(what=what, keep=True)
        if tqdm is None
        else _Bar(tqdm, "veldra" if what == "searching" else f"veldra {what}", unit)
    )
    try:
        yield display
    finally:
        display.finish()
