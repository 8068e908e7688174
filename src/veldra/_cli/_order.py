"""``veldra order``: read the file, search, write the results. Everything
between reading and writing is veldra's public API."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import sys
import warnings
from typing import Any

from ._errors import DataError, UsageError
from ._input import CSV_BLOCK_ROWS, knowledge_options, read_csv
from ._output import emit, open_output, say, write_output

__all__ = ["LONG_RUN_SECONDS", "run_order"]

#: Runs estimated to take longer than this many seconds are announced.
LONG_RUN_SECONDS = 3.0
# Below this much work (evaluations times max(n, 1000)) a search takes well
# under a second and is not worth a calibration (itself about 0.1 s).
_TRIVIAL_WORK = 5_000_000

#: The checkpoint of the search running, named after "interrupted" if saved.
running_checkpoint: str | None = None


def _with_reading(cost: Any) -> Any:
    """The estimate with the command's own memory: the numbers as read are
    the copy of the data the search standardises in place, so they are in
    it already; reading adds the text of one block of rows."""
    extra = CSV_BLOCK_ROWS * (cost.n_features * 80 + 120)
    return dataclasses.replace(
        cost,
        data_bytes=cost.data_bytes + extra,
        memory_bytes=cost.memory_bytes + extra,
    )


def _release_free_memory() -> None:
    """Hand the memory freed so far back to the system.

    glibc keeps freed blocks of the calibration's arrays for reuse, where
    the search, which allocates from its own thread, cannot use them: they
    would add to the peak.
    """
    with contextlib.suppress(OSError, AttributeError):
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)


_PLOT_FORMATS = ("png", "svg", "pdf")


def _plot_format(path: str) -> str:
    """The picture format ``--plot`` asks for, checked before the search."""
    import importlib.util

    extension = os.path.splitext(path)[1].lower().lstrip(".")
    if extension not in _PLOT_FORMATS:
        raise UsageError(
            f"--plot {path}: the file name must end in"
            " .png, .svg or .pdf, which gives the"
            " picture's format"
        )
    if importlib.util.find_spec("matplotlib") is None:
        raise UsageError("--plot needs matplotlib: pip install matplotlib")
    return extension


def _picture(model: Any, bootstrap: Any, extension: str) -> bytes:
    import io

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    axes = model.plot(bootstrap)
    buffer = io.BytesIO()
    try:
        axes.figure.savefig(buffer, format=extension, bbox_inches="tight")
    finally:
        plt.close(axes.figure)
    return buffer.getvalue()


def _warning_printer(quiet: bool) -> Any:
    """A ``warnings.showwarning`` that says each message once on stderr."""
    said: set[str] = set()

    def show(message: Any, *_: Any, **__: Any) -> None:
        text = str(message)
        if not quiet and text not in said:
            said.add(text)
            say(f"veldra: warning: {text}")

    return show


def run_order(args: argparse.Namespace) -> int:
    """The ``order`` command; returns its exit status."""
    global running_checkpoint
    from veldra import cap_threads

    if sys.stdout is None:
        raise DataError("standard output is closed: nowhere to write the results")
    if args.scheduler is not None and args.threads is not None:
        raise UsageError(
            "--threads is for a search on this machine; with --scheduler the"
            " workers' threads do the work (dask worker --nthreads)"
        )
    threads, note = cap_threads(args.threads)
    if note is not None and not args.quiet:
        say(f"veldra: warning: --threads {args.threads}: {note}")
    dot = plot = None
    if args.dot is not None and not args.estimate:
        dot = open_output(args.dot)
    if args.plot is not None and not args.estimate:
        plot_format = _plot_format(args.plot)
        plot = open_output(args.plot)

    from veldra import (
        CheckpointError,
        ExhaustiveOrdering,
        PriorKnowledgeError,
        ProgressLine,
        estimate_cost,
        prepare_data,
    )

    table = read_csv(
        args.file, header=args.header, delimiter=args.delimiter, columns=args.columns
    )
    names, columns = table.names, table.columns
    try:
        # The numbers as read are standardised in place: no copy.
        prepared = prepare_data(table.data, names=names, copy=False, robust=args.robust)
    except ValueError as error:
        raise DataError(f"{args.file}: {error}") from None
    del table
    n, d = prepared.n_samples, prepared.n_features
    knowledge = knowledge_options(args, names)

    cost = None
    work = d * 2 ** (d - 1) * max(n, 1000)
    if args.estimate or (work > _TRIVIAL_WORK and args.scheduler is None):
        try:
            cost = estimate_cost(
                n, d, n_threads=threads, column_names=names, **knowledge
            )
        except PriorKnowledgeError as error:
            raise UsageError(str(error)) from None
        cost = _with_reading(cost)
        _release_free_memory()
    if args.estimate:
        assert cost is not None
        if args.json:
            record = {
                "n_samples": n,
                "n_features": d,
                "n_threads": cost.n_threads,
                "n_evaluations": cost.n_evaluations,
                "memory_bytes": cost.memory_bytes,
                "table_bytes": cost.table_bytes,
                "seconds": cost.seconds,
            }
            emit(json.dumps(record) + "\n")
        else:
            emit(f"{n} samples, {d} columns: {cost}\n")
        return 0
    # A bootstrap's resamples run the search alone, without the checks.
    expected = 0.0
    if cost is not None:
        expected = cost.seconds + (args.bootstrap or 0) * cost.search_seconds
    if expected > LONG_RUN_SECONDS and not args.quiet:
        more = f" (and {args.bootstrap} like it)" if args.bootstrap else ""
        say(f"veldra: {cost}{more}")

    model = ExhaustiveOrdering(
        reference=args.reference,
        pruning=args.pruning,
        criterion=args.criterion,
        n_threads=threads if args.scheduler is None else None,
        robust=args.robust,
        **knowledge,
    )
    running_checkpoint = args.checkpoint
    search_line = bootstrap_line = None
    if not args.quiet and sys.stderr is not None:
        search_line = ProgressLine(sys.stderr)
        bootstrap_line = ProgressLine(sys.stderr, "bootstrap")
    bootstrap = None
    # The library's warnings, such as that a column is discrete or that the
    # order is not identifiable, are said as they come, once each: those
    # about the data before the search, those about the fit after it.
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = _warning_printer(args.quiet)
        try:
            try:
                model.fit(
                    prepared,
                    progress=search_line,
                    checkpoint=args.checkpoint,
                    client=args.scheduler,
                )
            finally:
                if search_line is not None:
                    search_line.finish()
            running_checkpoint = None
            if args.bootstrap is not None:
                try:
                    bootstrap = model.bootstrap(
                        prepared,
                        args.bootstrap,
                        random_state=args.seed,
                        progress=bootstrap_line,
                    )
                finally:
                    if bootstrap_line is not None:
                        bootstrap_line.finish()
        except PriorKnowledgeError as error:
            raise UsageError(str(error)) from None
        except ImportError:
            if args.scheduler is None:
                raise
            raise UsageError(
                "--scheduler needs Dask's distributed:"
                " pip install 'veldra[distributed]'"
            ) from None
        except (ConnectionError, CheckpointError) as error:
            # Its notes say whether, and where, the search so far is saved.
            notes = getattr(error, "__notes__", ())
            raise DataError("; ".join([str(error), *notes])) from None
        except (ValueError, RuntimeError) as error:
            raise DataError(f"{args.file}: {error}") from None

    if dot is not None:
        write_output(dot, model.to_dot())
    if plot is not None:
        write_output(plot, _picture(model, bootstrap, plot_format))
    if args.json:
        emit(model.to_json(bootstrap) + "\n")
    else:
        emit(model.to_text(bootstrap, column_numbers=columns))
    return 0
