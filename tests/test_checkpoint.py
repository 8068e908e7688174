"""Checkpoints under pressure: paths that cannot hold one, files that are not
one, crafted and damaged ones, two searches on one, and writes that fail."""

import errno
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import tracemalloc
import zipfile

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra._search import _checkpoint, _engine, _state


@pytest.fixture
def saving_often(monkeypatch):
    monkeypatch.setattr(_engine, "_RANGE_SECONDS", 0.0)
    monkeypatch.setattr(_engine, "CHECKPOINT_SECONDS", 0.0)
    monkeypatch.setattr(_engine, "_WRITE_SHARE", math.inf)


def data(d=6, seed=3):
    return simulate(120, d, noise="laplace", seed=seed).X


def rewrite(path, compress=zipfile.ZIP_STORED, **members):
    """The archive at ``path`` with some members' bytes replaced."""
    with zipfile.ZipFile(path) as old:
        kept = {name: old.read(name) for name in old.namelist()}
    kept.update({f"{key}.npy": value for key, value in members.items()})
    with zipfile.ZipFile(path, "w", compress) as new:
        for name, raw in kept.items():
            new.writestr(name, raw)


def npy(array=None, header=None):
    """An .npy member: ``array``'s, or only a header declaring ``header``."""
    with tempfile.TemporaryFile() as file:
        if header is None:
            np.save(file, array)
        else:
            np.lib.format.write_array_header_1_0(file, header)
        file.seek(0)
        return file.read()


def snapshot(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def write_with(save, *args):
    def write(path):
        with open(path, "wb") as file:
            save(file, *args)

    return write


FOREIGN = {
    "a NumPy array file": write_with(np.save, np.arange(3)),
    "a text file": lambda p: p.write_text("a,b\n1,2\n"),
    "a binary file": lambda p: p.write_bytes(b"\x89PNG\r\n\x1a\n\0\0"),
    "a zip archive": write_with(np.savez, np.arange(3)),
}


# Each used to be written over, or to end in advice to delete the file, or
# in a traceback other than the refusal.
@pytest.mark.parametrize(
    ("where", "message"),
    [
        ("", "path is empty"),
        (".", "is a directory"),
        ("missing/run.ckpt", "no directory"),
        ("/dev/null", "is not a regular file"),
        *[(f"foreign:{kind}", f"is {kind}") for kind in FOREIGN],
        ("lock:someone's notes", "is not veldra's lock file"),
    ],
)
def test_paths_that_cannot_hold_a_checkpoint_are_refused(tmp_path, where, message):
    path = tmp_path / "run.ckpt"
    if where.startswith("foreign:"):
        FOREIGN[where.partition(":")[2]](path)
    elif where.startswith("lock:"):
        (tmp_path / "run.ckpt.lock").write_text(where.partition(":")[2])
    elif where:
        path = where if where.startswith("/") else tmp_path / where
    else:
        path = ""
    before = snapshot(tmp_path)
    with pytest.raises(veldra.CheckpointError, match=message) as refused:
        veldra.causal_order(data(), checkpoint=path)
    assert "remove" not in str(refused.value)
    assert snapshot(tmp_path) == before


def test_empty_file_is_a_checkpoint_not_yet_written(tmp_path):
    path = tmp_path / "run.ckpt"
    path.touch()
    veldra.causal_order(data(), checkpoint=path)
    assert np.load(path)["level"] == 6


@pytest.fixture
def saved(tmp_path, saving_often):
    """A checkpoint stopped in the middle of a search of ``data()``."""
    path = tmp_path / "run.ckpt"
    calls = []

    def stop(done, total, seconds):
        calls.append(done)
        if len(calls) > 20:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        veldra.causal_order(data(), progress=stop, checkpoint=path)
    return path


SINKS = {"descr": "|i1", "fortran_order": False}


# Each used to be refused only after allocating what it declared (1 TiB, a
# 636 MB bomb), or to be read as a checkpoint.
@pytest.mark.parametrize(
    ("members", "compress"),
    [
        (lambda: {"sinks": npy(header={**SINKS, "shape": (2**40,)})}, 0),
        (lambda: {"sinks": npy(np.zeros(64, np.int8)) + bytes(64 << 20)}, 8),
        (lambda: {"sinks": npy(np.zeros(64, np.int8))[:-1]}, 0),
        (lambda: {"below": npy(np.zeros(6, np.float64))}, 0),
        (lambda: {"level": npy(np.array(99))}, 0),
        (lambda: {"position": npy(np.array(10**6))}, 0),
        (lambda: {"evaluations": npy(np.array(-1))}, 0),
        (lambda: {"level": npy(np.array([1, 2]))}, 0),
        (lambda: {"format": npy(np.array("x" * 10_000))}, 0),
        (lambda: {"sinks": npy(np.array([None], dtype=object))}, 0),
    ],
    ids=[
        "huge-header",
        "bomb",
        "cut-short",
        "wrong-type",
        "level",
        "position",
        "evaluations",
        "not-a-number",
        "huge-small-member",
        "pickle",
    ],
)
def test_crafted_checkpoints_are_refused_before_allocating(saved, members, compress):
    rewrite(saved, compress, **members())
    before = saved.read_bytes()
    tracemalloc.start()
    try:
        with pytest.raises(veldra.CheckpointError, match=r"damaged|not a veldra"):
            veldra.causal_order(data(), checkpoint=saved)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 8 << 20
    assert saved.read_bytes() == before


def test_a_flipped_bit_in_a_table_is_caught(saved):
    raw = bytearray(saved.read_bytes())
    with zipfile.ZipFile(saved) as archive:
        info = archive.getinfo("sinks.npy")
    start = info.header_offset
    extra = int.from_bytes(raw[start + 28 : start + 30], "little")
    raw[start + 30 + len(info.filename) + extra + 128 + 10] ^= 1
    saved.write_bytes(bytes(raw))
    with pytest.raises(veldra.CheckpointError, match="damaged"):
        veldra.causal_order(data(), checkpoint=saved)


def test_a_resume_reads_into_the_search_tables(saved):
    d = 22
    with np.load(saved) as archive:
        digests = {
            k: str(archive[f"digest_{k}"]) for k in ("data", "reference", "constraints")
        }
    level = d // 2
    state = _state.State(
        level,
        0,
        np.ones(math.comb(d, level - 1), np.float32),
        np.ones(math.comb(d, level), np.float32),
        np.ones(1 << d, np.int8),
        0,
    )
    checkpoint = _checkpoint.CheckpointFile(saved, digests)
    try:
        checkpoint.write(state)
        buffers, sinks = _state.level_buffers(d), np.empty(1 << d, np.int8)
        tracemalloc.start()
        loaded = checkpoint.load(d, buffers, sinks)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    finally:
        checkpoint.close()
    tables = sinks.nbytes + buffers[0].nbytes + buffers[1].nbytes
    assert peak < 3 << 20 < tables  # a read buffer, not a copy of the tables
    assert loaded.sinks is sinks
    assert loaded.scores.base is buffers[1]
    for table in (loaded.below, loaded.scores, sinks):
        assert (table == 1).all()


def test_one_search_at_a_time_and_leftovers_cleared(saved):
    directory = saved.parent
    leftover = directory / ".run.ckpt-x1y2.veldra.tmp"
    other = directory / ".other.ckpt-x1y2.veldra.tmp"
    leftover.write_bytes(b"half a save")
    other.write_bytes(b"another checkpoint's save")
    holder = _checkpoint.CheckpointFile(saved, {})
    try:
        assert not leftover.exists()
        assert other.exists()
        before = saved.read_bytes()
        with pytest.raises(
            veldra.CheckpointError, match=f"in use by .*process {os.getpid()}"
        ):
            veldra.causal_order(data(), checkpoint=saved)
        assert saved.read_bytes() == before
    finally:
        holder.close()
    # A lock left by a killed search (its file, not its lock) is taken over.
    (directory / "run.ckpt.lock").write_text("veldra checkpoint lock\na search, gone\n")
    expected = veldra.causal_order(data())
    result = veldra.causal_order(data(), checkpoint=saved)
    assert (result.score, result.order.tolist()) == (
        expected.score,
        expected.order.tolist(),
    )
    assert sorted(os.listdir(directory)) == [other.name, "run.ckpt"]


STEPS = {
    "create": (tempfile, "mkstemp"),
    "write": (np.lib.format, "write_array"),
    "sync": (os, "fsync"),
    "rename": (os, "replace"),
}


@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("failing_save", [1, 4])
def test_a_failing_write_keeps_the_search_and_the_last_checkpoint(
    tmp_path, monkeypatch, saving_often, step, failing_save
):
    module, name = STEPS[step]
    real, real_create, saves = getattr(module, name), tempfile.mkstemp, [0]

    def no_space(*args, **kwargs):
        if saves[0] >= failing_save:
            raise OSError(errno.ENOSPC, "No space left on device")
        return real(*args, **kwargs)

    def create(*args, **kwargs):
        saves[0] += 1
        return (no_space if step == "create" else real_create)(*args, **kwargs)

    if step != "create":
        monkeypatch.setattr(module, name, no_space)
    monkeypatch.setattr(tempfile, "mkstemp", create)
    path = tmp_path / "run.ckpt"
    with pytest.warns(veldra.CheckpointWarning, match="No space left") as caught:
        result = veldra.causal_order(data(), checkpoint=path)
    monkeypatch.undo()
    assert len(caught) == 1
    expected = veldra.causal_order(data())
    assert (result.score, result.order.tolist()) == (
        expected.score,
        expected.order.tolist(),
    )
    assert os.listdir(tmp_path) == (["run.ckpt"] if failing_save > 1 else [])
    if failing_save > 1:  # the last good checkpoint, which resumes
        assert 1 <= np.load(path)["level"] < 6
        resumed = veldra.causal_order(data(), checkpoint=path)
        assert np.array_equal(resumed.sinks, expected.sinks)


def test_a_file_size_limit_from_the_command_line(tmp_path):
    X = data(d=12, seed=5)
    csv = tmp_path / "d.csv"
    np.savetxt(
        csv, X, delimiter=",", header=",".join(f"v{k}" for k in range(12)), comments=""
    )
    limit = 3000  # less than the sink table

    def prepare():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    command = [sys.executable, "-m", "veldra", "order", str(csv), "--json"]
    done = subprocess.run(
        [*command, "--checkpoint", str(tmp_path / "run.ckpt")],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
        preexec_fn=prepare,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr.count("could not be written (File too large)") == 1
    assert "Traceback" not in done.stderr
    assert json.loads(done.stdout)["score"] == veldra.causal_order(X).score
    assert os.listdir(tmp_path) == ["d.csv"]
