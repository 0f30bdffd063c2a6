import os
import subprocess
import sys

import pytest

from quillmere import BatchResult, PowerFlowModel

from conftest import (EXAMPLE, UNDER_ASAN, Scenarios, feeder_network, line, network, run_in_thread,
                      source)


def results(batch):
    return [(r.voltage_mag, r.voltage_ang, r.iterations, r.converged, r.max_mismatch)
            for r in batch]


@pytest.mark.parametrize("backend", ["scalar", "block", "klu_native"])
def test_scenarios_match_single_solves_in_order_on_any_thread_count(write_network, backend):
    # Each scenario overrides bus 1 (twice: the later override wins) with the injection a file
    # carrying that load loads to, so its result must be the single solve of that file. The empty
    # scenario is the plain template.
    expected, scenarios = [], [[]]
    for p, q in [(2e5, 5e4), (8e5, 1e5), (0.0, 0.0), (1.5e6, -3e5), (4e5, 4e5)]:
        single = PowerFlowModel.from_pgm_json(write_network(feeder_network(p, q)), backend=backend)
        _, p_spec, q_spec = single.bus_spec()
        scenarios.append([(1, 0.0, 0.0), (1, p_spec[1], q_spec[1])])
        single.solve()
        expected.append(single.voltage_mag() + single.voltage_ang())
    model = PowerFlowModel.from_pgm_json(write_network(feeder_network()), backend=backend)
    before = model.voltage_mag()
    # a klu_native worker refactors with the pivot order of its first scenario: equal up to rounding
    tolerance = {"rel": 1e-12, "abs": 1e-14} if backend == "klu_native" else {"rel": 0, "abs": 0}
    for threads in (None, 0, 1, 3, 64):
        batch = model.solve_batch(scenarios, threads)
        assert all(type(r) is BatchResult and r.converged is True and r.iterations >= 1 and
                   r.max_mismatch < 1e-6 for r in batch)
        for r, values in zip(batch, expected[:1] + expected, strict=True):
            assert r.voltage_mag + r.voltage_ang == pytest.approx(values, **tolerance)
        assert model.solve_batch([], threads) == model.solve_batch_scaled((), threads) == []
    assert model.voltage_mag() == before


@pytest.mark.parametrize("length", [len, lambda items: 1 // 0, lambda items: sys.maxsize,
                                    lambda items: 0])
def test_scaled_batches_are_scaled_overrides_and_any_length_is_only_a_hint(example, length):
    wrap = lambda items: Scenarios(items, length)  # noqa: E731
    _, p, q = example.bus_spec()
    scales = [0.5, 1.0, 1.5, 0.0]
    explicit = [[(i, p[i] * s, q[i] * s) for i in range(len(p)) if p[i] or q[i]] for s in scales]
    expected = results(example.solve_batch(explicit, threads=0))
    assert len({tuple(r[0]) for r in expected}) == len(scales)
    assert results(example.solve_batch_scaled(wrap(scales), 0)) == expected
    assert results(example.solve_batch(wrap([wrap(s) for s in explicit]))) == expected


def test_bus_out_of_range_refuses_the_whole_batch(example):
    n = example.n_nodes
    with pytest.raises(RuntimeError) as info:
        example.solve_batch([[(0, 0.0, 0.0)], [], [(n - 1, 0.0, 0.0), (n, 0.0, 0.0)]])
    assert str(info.value) == f"scenario 2 overrides bus {n}, but the template has only {n} bus(es)"


def test_non_converging_scenarios_are_reported_not_raised(feeder, write_network):
    model = PowerFlowModel.from_pgm_json(feeder, max_iter=7)
    batch = model.solve_batch([[], [(1, -1e4, -1e3)], []], threads=2)  # far beyond its capacity
    assert results(batch)[0] == results(batch)[2] == results(model.solve_batch([[]]))[0]
    # With no load the linear start already meets tol: solve() passes with no Newton pass, but a
    # batch reports the pass that never ran.
    idle = network([1, 2], [line(10, 1, 2)], [source(20, 1)])
    model = PowerFlowModel.from_pgm_json(write_network(idle), max_iter=0, tol=1e-9)
    assert model.solve() is None
    assert results(model.solve_batch([[]]))[0][1:] == (model.voltage_ang(), 0, False, 0.0)
    # results are read-only plain values, readable on any thread after their model is gone
    failed = batch[1]
    assert (failed.iterations, failed.converged) == (7, False) and not failed.max_mismatch <= 1e-6
    assert type(failed.iterations) is int and type(failed.max_mismatch) is float
    with pytest.raises(AttributeError):
        failed.converged = True
    assert run_in_thread(lambda: results(batch)) == results(batch)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_pool_is_cached_per_thread_count(feeder):
    model = PowerFlowModel.from_pgm_json(feeder)
    start = set(os.listdir("/proc/self/task"))
    workers = lambda: set(os.listdir("/proc/self/task")) - start  # noqa: E731
    assert model.solve_batch([], threads=3) == [] and len(pool := workers()) == 3  # built even so
    model.solve_batch([[]] * 5, threads=3)
    assert workers() == pool  # the same workers
    model.solve_batch_scaled([1.0], threads=0)
    assert len(pool := workers()) == 1
    with pytest.raises(RuntimeError, match="^building the rayon thread pool failed: "):
        model.solve_batch([[(99, 0.0, 0.0)]], threads=2**62)  # refused before validation
    model.reset()
    assert workers() == pool
    del model
    assert workers() == set()


OUT_OF_MEMORY = """
import resource, sys
from quillmere import PowerFlowModel
model = PowerFlowModel.from_pgm_json(sys.argv[1])
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
try:
    model.solve_batch_scaled([0.5] * 2_000_000)  # far more overrides than the limit holds
except MemoryError:
    print(len(model.solve_batch_scaled([0.5], threads=1)))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self") or UNDER_ASAN,
                    reason="needs /proc and an address space that may be limited")
def test_exhausted_memory_is_memory_error_not_the_end_of_the_process():
    run = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(EXAMPLE)],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "1\n"), run.stderr
