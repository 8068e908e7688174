"""The Python examples of the README and of the docs' Markdown pages, run as
doctests: what they show stays what veldra does.

Every ```python block of README.md and docs/*.md runs. Blocks with ``>>>``
prompts are doctests (with ELLIPSIS and NORMALIZE_WHITESPACE on); blocks
without are run as they are, in the same namespace, so that later examples
see earlier names. Each page runs in a namespace of its own, in a temporary
working directory.
"""

import doctest
import os
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
# Pages whose examples must not quietly disappear: the fewest examples
# (``>>>`` lines) each must run.
LEAST_EXAMPLES = {"README.md": 5, "guide.md": 40, "lingam.md": 5, "develop.md": 4}


def located_blocks(page: Path) -> list[tuple[int, str]]:
    """The page's ```python blocks, each with the line before its first."""
    text = page.read_text()
    found = re.finditer(r"^```python\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)
    return [(text.count("\n", 0, match.start(1)), match[1]) for match in found]


def blocks(page: Path) -> list[str]:
    return [block for _, block in located_blocks(page)]


def run_page(page: Path, tmp_path: Path) -> tuple[int, int]:
    """Runs a page's examples; returns (failed, attempted)."""
    namespace: dict = {"__name__": page.stem}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(
        optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
    )
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        for k, (line, block) in enumerate(located_blocks(page)):
            name = f"{page.name} block {k}"
            if ">>>" not in block:
                exec(compile(block, name, "exec"), namespace)  # noqa: S102
                continue
            test = parser.get_doctest(block, namespace, name, str(page), line)
            runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy
    finally:
        os.chdir(cwd)
    return runner.summarize(verbose=False)


def test_pages_found():
    names = {page.name for page in PAGES}
    assert set(LEAST_EXAMPLES) <= names
    # All together, no fewer examples than the README alone ran before the
    # guides took them over.
    assert sum(len(blocks(page)) for page in PAGES) >= 5


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_page_examples(page, tmp_path):
    failed, attempted = run_page(page, tmp_path)
    assert attempted >= LEAST_EXAMPLES.get(page.name, 0)
    if failed:
        pytest.fail(
            f"{failed} of {attempted} examples of {page.name} failed (see stdout)"
        )
