"""The level sweep on a thread pool: same tables as the serial sweep, the
interpreter lock released, and no thread left behind."""

import os
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from veldra._exhaustive_kernel import _sink_dp


def problem(n, d, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.laplace(size=(n, d))
    for j in range(1, d):
        X[:, j] += X[:, :j] @ rng.uniform(-0.6, 0.6, j)
    return X, X.T @ X, np.sort(rng.standard_normal(n))


def thread_count(at_most=None):
    """Threads of this process; with `at_most`, waits up to 5 s for the count
    to fall that far (a joined Python thread may take a moment to exit)."""
    deadline = time.monotonic() + 5.0
    while True:
        count = len(os.listdir("/proc/self/task"))
        if at_most is None or count <= at_most or time.monotonic() > deadline:
            return count
        time.sleep(0.01)


@pytest.mark.parametrize(("n", "d"), [(60, 8), (33, 3), (9, 6)])
def test_every_thread_count_gives_the_serial_tables(n, d):
    # d = 8 gives levels of up to 70 masks, several chunks per task even on
    # 7 threads; d = 3 gives levels of 3, 3 and 1 masks.
    args = problem(n, d, seed=d)
    serial_sinks, serial_value = _sink_dp(*args, d, 1)
    assert (serial_sinks[1:] >= 0).all()
    for threads in (0, 2, 3, 7, 64):
        sinks, value = _sink_dp(*args, d, threads)
        np.testing.assert_array_equal(sinks, serial_sinks)
        assert np.float64(value).tobytes() == np.float64(serial_value).tobytes()


@pytest.mark.parametrize("threads", [1, 2])
def test_other_python_threads_run_during_the_sweep(threads):
    args = problem(3000, 11)  # long enough for the counter to show
    ticks = []
    running = threading.Event()
    done = threading.Event()

    def count():
        running.set()
        while not done.is_set():
            ticks.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    start = time.perf_counter()
    try:
        _sink_dp(*args, 11, threads)
    finally:
        end = time.perf_counter()
        done.set()
        counter.join()
    during = [t for t in ticks if start < t < end]
    # With the lock held for the whole call the counter would stall; it
    # must keep ticking through most of it.
    assert len(during) > 1000
    assert during[-1] - during[0] > 0.5 * (end - start)


def test_repeated_and_concurrent_calls_leave_no_thread_behind():
    args = problem(50, 6)
    expected_sinks, expected_value = _sink_dp(*args, 6, 1)
    before = thread_count()
    for threads in (2, 3, 2, 5) * 5:
        sinks, value = _sink_dp(*args, 6, threads)
        np.testing.assert_array_equal(sinks, expected_sinks)
        assert value == expected_value
    assert thread_count(at_most=before) == before  # pools join their workers

    results = []

    def call(threads):
        for _ in range(5):
            results.append(_sink_dp(*args, 6, threads))

    callers = [threading.Thread(target=call, args=(t,)) for t in (2, 3, 0, 4)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert len(results) == 20
    for sinks, value in results:
        np.testing.assert_array_equal(sinks, expected_sinks)
        assert value == expected_value
    assert thread_count(at_most=before) == before


def run_script(script, *args):
    proc = subprocess.run(
        [sys.executable, "-c", script, *map(str, args)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc


def test_more_than_128_threads_are_clamped_with_a_warning():
    proc = run_script(
        "import numpy as np\n"
        "from veldra._exhaustive_kernel import _sink_dp\n"
        "X = np.random.default_rng(1).laplace(size=(30, 2))\n"
        "r = np.sort(np.random.default_rng(2).standard_normal(30))\n"
        "a, b = _sink_dp(X, X.T @ X, r, 2, 300), _sink_dp(X, X.T @ X, r, 2, 1)\n"
        "print(a[0].tolist() == b[0].tolist() and a[1] == b[1])\n"
    )
    # Highway's pool takes 127 workers before 1.3, 63 from it.
    assert re.search(r"ThreadPool: clamping num_threads 299 to (127|63)\.", proc.stderr)
    assert proc.stdout.split() == ["True"]


# Each run limits the address space so that one thing fails: the threads of
# the pool, or the column copy and residual buffers made before the sweep.
# Each headroom is a separate call; the public function caps the threads at
# the CPUs and may then fit.
LIMITED_SCRIPT = """
import os, resource, sys, time, warnings
import numpy as np
import veldra
from veldra._exhaustive_kernel import _sink_dp
warnings.simplefilter("ignore")
api, n, d, threads, *headrooms = sys.argv[1:]
n, d, threads = int(n), int(d), int(threads)
X = np.random.default_rng(0).laplace(size=(n, d))
gram, reference = X.T @ X, np.sort(X[:, 0])
if api == "api":
    veldra.causal_order(X, n_threads=1)  # BLAS sets up its buffers first
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
tasks = len(os.listdir("/proc/self/task"))
for headroom in headrooms:
    vm = next(int(line.split()[1]) for line in open("/proc/self/status")
              if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + int(headroom) * 2**20, hard))
    try:
        if api == "api":
            veldra.causal_order(X, n_threads=threads)
        else:
            _sink_dp(X, gram, reference, d, threads)
        print("returned")
    except MemoryError:
        print("memory-error")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# A joined thread may stay listed for a moment after its join returns.
deadline = time.monotonic() + 5
while len(os.listdir("/proc/self/task")) > tasks and time.monotonic() < deadline:
    time.sleep(0.01)
print(len(os.listdir("/proc/self/task")) == tasks)
print(_sink_dp(X[:40], X[:40].T @ X[:40], reference[:40], d, threads)[0][0])
"""


@pytest.mark.parametrize(
    ("api", "n", "d", "threads", "headrooms", "outcomes"),
    [
        ("kernel", 1000, 2, 2, [1], ["memory-error"]),  # no room for a stack
        ("kernel", 30_000_000, 2, 2, [200], ["memory-error"]),  # 480 MB copy
        # These used to start some threads, fail on the next and abort
        # (std::terminate); "tls" was reported to end in glibc's TLS
        # allocation failure. Now nothing starts before the memory is there.
        ("kernel", 1000, 2, 4, [20], ["memory-error"]),
        # 400 MB hold neither 127 nor 63 (the cap from Highway 1.3) stacks.
        ("kernel", 1000, 2, 128, [100, 400], ["memory-error"] * 2),
        ("kernel", 2**21, 3, 2, [40, 20], ["memory-error"] * 2),
        ("api", 200, 4, 4, [10, 20], None),
    ],
    ids=["pool", "sweep-buffers", "4-threads", "128-threads", "tls", "api"],
)
def test_memory_exhaustion_raises_memory_error(api, n, d, threads, headrooms, outcomes):
    proc = run_script(LIMITED_SCRIPT, api, n, d, threads, *headrooms)
    lines = proc.stdout.split()
    if outcomes is None:  # as many threads as there are CPUs may fit
        assert set(lines[:-2]) <= {"returned", "memory-error"}
        assert len(lines) == len(headrooms) + 2
    else:
        assert lines[:-2] == outcomes
    assert lines[-2:] == ["True", "-1"]
