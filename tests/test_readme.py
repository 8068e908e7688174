"""The README's Python examples, run as doctests: the quick start stays true.

Blocks with ``>>>`` prompts are doctests; blocks without are run as they
are, in the same namespace, so that later examples see earlier names.
"""

import doctest
import os
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(
    r"^```python\n(.*?)^```$", README.read_text(), re.MULTILINE | re.DOTALL
)


def test_readme_examples(tmp_path):
    assert len(BLOCKS) >= 5
    namespace: dict = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        for k, block in enumerate(BLOCKS):
            if ">>>" not in block:
                exec(compile(block, f"README block {k}", "exec"), namespace)  # noqa: S102
                continue
            test = parser.get_doctest(block, namespace, f"README block {k}", None, 0)
            runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy
    finally:
        os.chdir(cwd)
    failed, attempted = runner.summarize(verbose=False)
    assert attempted > 20
    if failed:
        pytest.fail(f"{failed} of {attempted} README examples failed (see stdout)")
