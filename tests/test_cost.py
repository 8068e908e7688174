import itertools
import math

import numpy as np
import pytest

import veldra
from veldra import _threads
from veldra._search import _cost
from veldra._search._cost import estimate_cost
from veldra._text import format_bytes, format_seconds


@pytest.fixture
def counted_calls(monkeypatch):
    """Count the searches a fresh calibration cache runs from here on."""
    monkeypatch.setattr(_cost, "_cache", {})
    calls = []
    real = _cost._sink_dp

    def counting(X, gram, reference, d, threads):
        calls.append((X.shape[0], d, threads))
        return real(X, gram, reference, d, threads)

    monkeypatch.setattr(_cost, "_sink_dp", counting)
    return calls


@pytest.mark.parametrize(("n", "d"), [(2, 0), (2, 1), (50, 2), (1000, 7), (300, 30)])
def test_sizes_follow_the_search(n, d):
    cost = estimate_cost(n, d, n_threads=1)
    assert cost.n_evaluations == (d * 2 ** (d - 1) if d else 0)
    # A sink per subset, and room for two levels of the widest size.
    assert cost.table_bytes == 2**d + 8 * math.comb(d, d // 2)
    # Validated and centred copies of X, the cross-product matrix, the
    # reference and one residual buffer for the single thread.
    assert cost.data_bytes == 8 * (2 * n * d + d * d + 2 * n)
    assert cost.memory_bytes == cost.table_bytes + cost.data_bytes
    assert cost.feasible
    assert math.isfinite(cost.seconds)
    assert (cost.search_seconds > 0) == (d > 0)
    # The search is part of the call: the checks and diagnostics add to it.
    assert cost.seconds >= cost.search_seconds
    assert (cost.n_samples, cost.n_features, cost.n_threads) == (n, d, 1)


def test_residual_buffers_grow_with_threads():
    one = estimate_cost(500, 4, n_threads=1)
    two = estimate_cost(500, 4, n_threads=2)
    assert two.data_bytes - one.data_bytes == 8 * 500
    assert two.n_threads == 2
    assert 0 < two.speedup <= 2


def test_cost_grows_with_the_size():
    by_d = [estimate_cost(400, d, n_threads=1) for d in range(1, 12)]
    for smaller, larger in itertools.pairwise(by_d):
        assert larger.memory_bytes > smaller.memory_bytes
        assert larger.search_seconds > smaller.search_seconds
        assert larger.seconds_per_evaluation >= smaller.seconds_per_evaluation
    # Fifty times the samples: separate calibrations, far apart.
    few, many = (estimate_cost(n, 10, n_threads=1) for n in (200, 10_000))
    assert many.memory_bytes > few.memory_bytes
    assert many.seconds > few.seconds


def test_calibration_is_cached_per_samples_and_threads(counted_calls):
    estimate_cost(321, 5, n_threads=1)
    assert counted_calls, "the first estimate must time real searches"
    first = len(counted_calls)
    assert {n for n, _, _ in counted_calls} <= {2, 321}
    assert {threads for _, _, threads in counted_calls} == {1}

    again = estimate_cost(321, 12, n_threads=1)
    assert len(counted_calls) == first
    assert again.seconds_per_evaluation > 0

    estimate_cost(321, 5, n_threads=2)  # another thread count: calibrates
    assert any(threads == 2 for _, _, threads in counted_calls[first:])
    second = len(counted_calls)
    estimate_cost(654, 5, n_threads=2)  # another n: calibrates
    assert any(n == 654 for n, _, _ in counted_calls[second:])


def test_threads_beyond_the_cpus_are_not_calibrated(monkeypatch, counted_calls):
    # 200 threads used to be timed as asked: seconds of spinning workers.
    monkeypatch.setattr(_cost, "resolve_threads", _threads.resolve_threads)
    monkeypatch.setattr(_threads, "available_cpus", lambda: 2)
    with pytest.warns(UserWarning, match="n_threads=200: more than the 2 CPUs"):
        cost = estimate_cost(1000, 10, n_threads=200)
    assert cost.n_threads == 2
    assert {threads for _, _, threads in counted_calls} <= {1, 2}


def test_no_calibration_without_evaluations(counted_calls):
    assert estimate_cost(100, 0).n_evaluations == 0
    assert counted_calls == []


def test_large_n_is_scaled_from_the_largest_timed_n(monkeypatch, counted_calls):
    monkeypatch.setattr(_cost, "_DIRECT_N", 4096)
    at_cap = estimate_cost(4096, 10, n_threads=1)
    timed = len(counted_calls)
    assert max(n for n, _, _ in counted_calls) == 4096
    beyond = estimate_cost(4 * 4096, 10, n_threads=1)
    assert len(counted_calls) == timed  # the same calibration, scaled
    # Sorting grows faster than n: four times the samples cost more than
    # four times the time.
    assert beyond.search_seconds > 4 * at_cap.search_seconds


def test_too_many_features_are_estimated_but_infeasible():
    cost = estimate_cost(100, 31, n_threads=1)
    assert not cost.feasible
    assert cost.table_bytes >= 2**31
    assert cost.n_evaluations == 31 * 2**30


@pytest.mark.parametrize(
    ("kwargs", "error", "match"),
    [
        ({"n_samples": 1, "n_features": 3}, ValueError, "n_samples"),
        ({"n_samples": 10, "n_features": -1}, ValueError, "n_features"),
        # 2 ** (d - 1) used to be computed for any d, without end.
        ({"n_samples": 10, "n_features": 2**70}, ValueError, "far beyond the 30"),
        ({"n_samples": 10, "n_features": 3, "n_threads": -2}, ValueError, "n_threads"),
        ({"n_samples": 10.0, "n_features": 3}, TypeError, "n_samples"),
        ({"n_samples": 10, "n_features": True}, TypeError, "n_features"),
        ({"n_samples": 10, "n_features": "3"}, TypeError, "n_features"),
        ({"n_samples": 10, "n_features": 3, "n_threads": 1.5}, TypeError, "n_threads"),
        # Names were read only with prior knowledge: "abc" passed as 3 names.
        ({"n_samples": 10, "n_features": 3, "column_names": "abc"}, TypeError, "str"),
        ({"n_samples": 10, "n_features": 3, "column_names": "ab"}, TypeError, "str"),
        (
            {"n_samples": 10, "n_features": 3, "column_names": ["a"]},
            ValueError,
            "1 name",
        ),
    ],
)
def test_invalid_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        estimate_cost(**kwargs)


def test_default_threads_are_the_usable_cpus(monkeypatch):
    monkeypatch.setattr(_cost, "_cache", {})
    monkeypatch.setattr(_cost, "resolve_threads", lambda n: 1 if n is None else n)
    assert estimate_cost(100, 3).n_threads == 1
    monkeypatch.setattr(_threads.os, "sched_getaffinity", lambda pid: {0, 1, 2})
    assert estimate_cost(100, 0, n_threads=0).n_threads == 3


@pytest.mark.parametrize(
    ("seconds", "text"),
    [
        (0.0004, "0 ms"),
        (0.25, "250 ms"),
        (59.94, "59.9 s"),
        (90, "1.5 min"),
        (7200, "2.0 h"),
        (3 * 86400, "3.0 days"),
        (2 * 365.25 * 86400, "2.0 years"),
    ],
)
def test_format_seconds(seconds, text):
    assert format_seconds(seconds) == text


@pytest.mark.parametrize(
    ("count", "text"),
    [(0, "0 bytes"), (1023, "1023 bytes"), (1024, "1.0 KiB"), (12 * 2**30, "12.0 GiB")],
)
def test_format_bytes(count, text):
    assert format_bytes(count) == text


@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
@pytest.mark.parametrize(
    "knowledge",
    [
        {"exogenous": [1]},
        {"sinks": [0, 4], "required_order": [(2, 3)]},
        {"prior_knowledge": [[-1, 1, -1, -1, -1]] + [[-1] * 5] * 4},
    ],
)
def test_prior_knowledge_counts_the_constrained_search(knowledge):
    X = np.random.default_rng(1).laplace(size=(200, 5))
    searched = veldra.causal_order(X, n_threads=1, **knowledge).n_evaluations
    cost = estimate_cost(200, 5, n_threads=1, **knowledge)
    assert cost.n_evaluations == searched < 5 * 2**4


def test_prior_knowledge_by_name():
    names = ["age", "dose", "risk"]
    by_name = estimate_cost(100, 3, n_threads=1, exogenous=["age"], column_names=names)
    assert (
        by_name.n_evaluations
        == estimate_cost(100, 3, n_threads=1, exogenous=[0]).n_evaluations
    )
    with pytest.raises(veldra.PriorKnowledgeError, match="dose is both exogenous"):
        estimate_cost(100, 3, exogenous=["dose"], sinks=[1], column_names=names)


def _chains(count, length):
    """required_order pairs making ``count`` chains of ``length`` variables."""
    return [
        (c * length + i, c * length + i + 1)
        for c in range(count)
        for i in range(length - 1)
    ]


def _prior(d, paths=(), zeros=()):
    """lingam's matrix: 1 where ``(j, i)`` in paths (j before i), 0 where
    in zeros (no edge j -> i), -1 elsewhere."""
    matrix = np.full((d, d), -1)
    for value, pairs in ((1, paths), (0, zeros)):
        for j, i in pairs:
            matrix[i, j] = value
    return matrix


@pytest.mark.parametrize(
    ("d", "knowledge"),
    [
        # Every variable exogenous leaves no constraint: it used to visit
        # all 2**d subsets (half a minute at d = 30).
        (18, {"exogenous": range(18)}),
        (17, {"exogenous": [0, 5, 9]}),
        (16, {"sinks": [15, 3]}),
        (18, {"exogenous": [2], "sinks": [0, 1], "required_order": [(3, 4)]}),
        # Orders implied through others: 0 before 2 before 4 puts 0 before 4.
        (15, {"required_order": [(0, 2), (2, 4), (1, 4), (4, 7), (3, 7), (7, 9)]}),
        (20, {"required_order": _chains(4, 5)}),
        # Two layers joined by most pairs: few variables left unrelated.
        (
            16,
            {
                "required_order": [
                    (i, j) for i in range(8) for j in range(8, 16) if (i + j) % 3
                ]
            },
        ),
        # A zero forbids an edge, not an order; a row of zeros is exogenous.
        (
            14,
            {"prior_knowledge": _prior(14, [(0, 1), (1, 2), (5, 9)], [(3, 4), (9, 5)])},
        ),
        (14, {"prior_knowledge": _prior(14, [(i, i + 2) for i in range(12)])}),
    ],
)
def test_constrained_count_is_the_search_count(d, knowledge):
    from veldra._knowledge import make_knowledge
    from veldra._sweep import _evaluation_counts

    found = make_knowledge(d, None, **knowledge)
    visited = sum(_evaluation_counts(d, np.array(found.predecessors, np.int32)))
    assert estimate_cost(100, d, n_threads=1, **knowledge).n_evaluations == visited


def _free_and_fixed(first, d):
    """Evaluations with ``first`` variables before the d - first others:
    subsets of the first, then all of them and any of the others."""
    return first * 2 ** (first - 1) + (d - first) * 2 ** (d - first - 1)


@pytest.mark.parametrize(
    ("knowledge", "expected"),
    [
        ({"exogenous": range(30)}, 30 * 2**29),
        ({"exogenous": [4, 7, 20]}, _free_and_fixed(3, 30)),
        ({"sinks": [0, 1, 2, 3]}, _free_and_fixed(26, 30)),
        # One order only: one candidate per level.
        ({"required_order": _chains(1, 30)}, 30),
        # Three chains of ten: a variable's own chain fixes its place; the
        # others are cut anywhere (11 ways each).
        ({"required_order": _chains(3, 10)}, 30 * 11**2),
    ],
)
def test_constrained_count_at_thirty_features(knowledge, expected):
    assert estimate_cost(100, 30, n_threads=1, **knowledge).n_evaluations == expected


def test_large_data_cost_more_around_the_search_than_in_it():
    # A million rows of three variables: 12 evaluations, but the checks
    # and the diagnostics sort every column several times. The estimate
    # used to be the search's alone.
    cost = estimate_cost(10**6, 3, n_threads=1)
    assert cost.seconds > 5 * cost.search_seconds
    # With the order fixed there is no runner-up, and no resampling.
    fixed = estimate_cost(10**6, 3, n_threads=1, required_order=[(0, 1), (1, 2)])
    assert fixed.seconds - fixed.search_seconds < cost.seconds - cost.search_seconds


def test_work_around_the_search_is_calibrated_once_per_rows_and_features(
    monkeypatch,
):
    monkeypatch.setattr(_cost, "_around_cache", {})
    calls = []
    real = _cost._calibrate_around
    monkeypatch.setattr(
        _cost, "_calibrate_around", lambda *key: calls.append(key) or real(*key)
    )
    monkeypatch.setattr(_cost, "_AROUND_VALUES", 3 * 500)
    for n, d in [(300, 3), (300, 3), (400, 3), (300, 4), (10**6, 3), (10**7, 3)]:
        estimate_cost(n, d, n_threads=1)
    # Beyond the rows it is timed on, a larger n reuses the calibration.
    assert calls == [(300, 3), (400, 3), (300, 4), (500, 3)]
