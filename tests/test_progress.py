"""Progress never stops a search: a bar or line that cannot be drawn is
dropped and the search goes on to the same result; a user's callback's
exception is the user's, with the work kept; nothing a search raises comes
chained onto a missing tqdm."""

import contextlib
import errno
import io
import sys

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra import _pipeline, _progress
from veldra._cli import main

X = simulate(300, 5, seed=3).X


@pytest.fixture(scope="module")
def expected():
    return veldra.causal_order(X, n_threads=1)


def same_search(result, expected):
    return (
        result.order.tolist() == expected.order.tolist()
        and result.score == expected.score
        and np.array_equal(result.sinks, expected.sinks)
    )


class FullDevice(io.StringIO):
    """stderr on a full disk: every write fails with ENOSPC."""

    tries = 0

    def write(self, text):
        self.tries += 1
        raise OSError(errno.ENOSPC, "No space left on device")


class Closed(io.StringIO):
    tries = 0

    def write(self, text):
        self.tries += 1
        return super().write(text)


def dev_full():
    return open("/dev/full", "w")  # closed by the test


def closed():
    stream = Closed()
    stream.close()
    return stream


class StandInBar:
    """Draws as tqdm does: on the stderr of its making, when made, at every
    update and when closed, unless disabled."""

    def __init__(self, total=None, **options):
        self.file, self.n, self.total, self.disable = sys.stderr, 0, total, False
        self.draw()

    def draw(self):
        if not self.disable:
            self.file.write(f"\r{self.n}/{self.total}")
            self.file.flush()

    def update(self, step):
        self.n += step
        self.draw()

    def close(self):
        self.draw()
        self.disable = True


def use_display(monkeypatch, display):
    """progress=True draws with ``display``: ProgressLine (no tqdm, drawing
    at every report), a stand-in for tqdm, or tqdm itself."""
    if display == "line":
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
        monkeypatch.setattr(_progress, "_LOG_INTERVAL", 0.0)
        monkeypatch.setattr(_progress, "_TTY_INTERVAL", 0.0)
    elif display == "stand-in bar":
        module = type(sys)("tqdm.auto")
        module.tqdm = StandInBar
        monkeypatch.setitem(sys.modules, "tqdm.auto", module)
    else:
        pytest.importorskip("tqdm")


DISPLAYS = ["line", "stand-in bar", "tqdm"]


@pytest.mark.parametrize("display", DISPLAYS)
@pytest.mark.parametrize(
    "stream",
    [
        FullDevice,  # the bar's first draw raised OSError; the line retried all along
        dev_full,  # the same on the real device
        closed,  # ValueError from the bar, from the line's isatty()
        lambda: None,  # AttributeError: the bar and the line wrote to None
    ],
    ids=["full", "/dev/full", "closed", "None"],
)
def test_a_display_that_cannot_be_drawn_is_dropped(
    monkeypatch, expected, display, stream
):
    use_display(monkeypatch, display)
    stderr = stream()
    monkeypatch.setattr(sys, "stderr", stderr)
    result = veldra.causal_order(X, n_threads=1, progress=True)
    model = veldra.ExhaustiveOrdering(n_threads=1).fit(X, progress=True)
    monkeypatch.undo()
    if stderr is not None:
        with contextlib.suppress(OSError):
            stderr.close()
    assert same_search(result, expected)
    assert model.causal_order_.tolist() == expected.order.tolist()
    # Dropped at the first failure: one try per search at most (tqdm itself
    # swallows some failures, and retries them).
    if display != "tqdm":
        assert getattr(stderr, "tries", 0) <= 2


def test_the_command_lines_progress_line_cannot_stop_it(monkeypatch, tmp_path, capsys):
    # A closed stderr: ValueError from isatty() ended it with a traceback.
    path = tmp_path / "data.csv"
    path.write_text(
        "a,b,c,d,e\n" + "\n".join(",".join(map(repr, row)) for row in X.tolist())
    )
    use_display(monkeypatch, "line")
    monkeypatch.setattr(sys, "stderr", closed())
    assert main(["order", str(path), "--json", "--threads", "1"]) == 0
    monkeypatch.undo()
    assert capsys.readouterr().out.startswith('{"schema": "veldra.order"')


def test_a_callbacks_exception_is_the_callers_and_keeps_the_work(tmp_path, expected):
    class Stop(Exception):
        pass

    calls = []

    def progress(done, total, seconds):
        calls.append(done)
        if len(calls) == 4:
            raise Stop

    saved = tmp_path / "run.ckpt"
    with pytest.raises(Stop) as caught:
        veldra.causal_order(X, n_threads=1, progress=progress, checkpoint=saved)
    assert caught.value.__context__ is None
    assert 0 < calls[-1] < expected.n_evaluations
    resumed = veldra.causal_order(X, n_threads=1, checkpoint=saved)
    assert same_search(resumed, expected)


class Failed(Exception):
    pass


def interrupt_drawing(monkeypatch):
    def update(self, done, total, seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(_progress.ProgressLine, "update", update)


def fail_search(monkeypatch):
    def run(*args, **kwargs):
        raise Failed

    monkeypatch.setattr(_pipeline, "run_engine", run)


@pytest.mark.parametrize(
    ("progress", "stop", "error"),
    [
        (True, interrupt_drawing, KeyboardInterrupt),  # came chained onto the import
        (True, fail_search, Failed),  # the same for any error of the search
        (np.True_, fail_search, Failed),  # np.True_ was a TypeError
    ],
)
def test_nothing_a_search_raises_carries_the_missing_tqdm(
    monkeypatch, progress, stop, error
):
    use_display(monkeypatch, "line")
    stop(monkeypatch)
    with pytest.raises(error) as caught:
        veldra.causal_order(X, n_threads=1, progress=progress)
    assert caught.value.__context__ is None
