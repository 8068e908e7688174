"""The ``veldra`` command: causal order and graph of the columns of a CSV file.

Exit status: 0 on success, 1 when the input cannot be used (missing or
unreadable file, malformed CSV, non-numeric or non-finite cells, too many
columns, constant or collinear columns, a malformed ``--prior`` file), an
output cannot be written or memory runs out, 2 for a command-line mistake
(unknown option, bad value, prior knowledge naming no column or
contradicting itself), 130 when interrupted by Ctrl-C.

Whatever goes wrong is said in one line on stderr: NumPy, SciPy and
scikit-learn are imported inside :func:`main`, so that even Ctrl-C during
start-up is reported, not shown as a traceback.

The command reads its files (``_input``), calls veldra's public API
(``_order``) and writes its results (``_output``); it uses nothing of
veldra that a user of the library could not.
"""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from typing import TextIO

from . import _order
from ._errors import EXIT_DATA, EXIT_INTERRUPTED, EXIT_USAGE, DataError, UsageError
from ._output import remove_temporary_files, say, silence_stdout
from ._parser import build_parser

__all__ = ["main"]


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    say(f"veldra: warning: {message}")


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    if not (sys.argv[1:] if argv is None else argv):
        with contextlib.suppress(OSError, ValueError, AttributeError):
            parser.print_help()
        return 0
    try:
        args = parser.parse_args(argv)
        if args.seed is not None and args.bootstrap is None:
            parser.error("--seed is the seed of --bootstrap, which is not given")
    except SystemExit as exit_:  # --help, --version or a usage error
        return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
    with warnings.catch_warnings():
        if args.quiet:
            warnings.simplefilter("ignore")
        else:
            warnings.showwarning = _show_warning
        try:
            return _order.run_order(args)
        except DataError as error:
            say(f"veldra: error: {error}")
            return EXIT_DATA
        except UsageError as error:
            say(f"veldra: error: {error}")
            return EXIT_USAGE
        except MemoryError as error:
            detail = " ".join(str(error).split())
            say(
                "veldra: error: out of memory"
                + (f": {detail}" if detail and detail != "std::bad_alloc" else "")
            )
            return EXIT_DATA
        except BrokenPipeError:
            # The reader of stdout went away (e.g. `| head`): nothing to say.
            silence_stdout()
            return EXIT_DATA
        finally:
            remove_temporary_files()


def main(argv: list[str] | None = None) -> int:
    """Run the ``veldra`` command line; return its exit status.

    Parameters
    ----------
    argv : list of str or None, default=None
        The arguments after the program name; None reads ``sys.argv``.

    Returns
    -------
    int
        0 on success, 1 for unusable input, an unwritable output or a lack
        of memory, 2 for a command-line error. On Ctrl-C the search stops
        within about a second (saving itself first with --checkpoint) and
        the process ends with status 130.
    """
    try:
        return _main(argv)
    except KeyboardInterrupt:
        remove_temporary_files()
        with contextlib.suppress(Exception):
            if sys.stdout is not None:
                sys.stdout.flush()
        # Start on a fresh line after a progress line on a terminal.
        with contextlib.suppress(Exception):
            fresh = "\n" if sys.stderr is not None and sys.stderr.isatty() else ""
            note = ""
            saved = _order.running_checkpoint
            if saved is not None and os.path.exists(saved):
                note = (
                    f"; the search so far is saved in {saved}: run"
                    " the same command to resume it"
                )
            say(fresh + "veldra: interrupted" + note)
        os._exit(EXIT_INTERRUPTED)
