import os
import subprocess
import sys

import pytest

from quillmere import BatchResult, PowerFlowModel

from conftest import EXAMPLE, Scenarios, feeder_network, line, network, run_in_thread, source

LOADS_W_VAR = [(2e5, 5e4), (8e5, 1e5), (0.0, 0.0), (1.5e6, -3e5), (4e5, 4e5)]


def results(batch):
    return [(r.voltage_mag, r.voltage_ang, r.iterations, r.converged, r.max_mismatch)
            for r in batch]


@pytest.mark.parametrize("backend", ["scalar", "block", "klu_native"])
def test_scenarios_match_single_solves_in_order(write_network, backend):
    # Each scenario overrides bus 1 with the injection a file carrying that load loads to, so its
    # result must be the single solve of that file.
    expected, scenarios = [], []
    for p, q in LOADS_W_VAR:
        single = PowerFlowModel.from_pgm_json(write_network(feeder_network(p, q)), backend=backend)
        _, p_spec, q_spec = single.bus_spec()
        scenarios.append([(1, p_spec[1], q_spec[1])])
        single.solve()
        expected.append(single.voltage_mag() + single.voltage_ang())
    model = PowerFlowModel.from_pgm_json(write_network(feeder_network()), backend=backend)
    batch = model.solve_batch(scenarios, threads=3)
    assert all(type(r) is BatchResult and r.converged is True and r.iterations >= 1 and
               r.max_mismatch < 1e-6 for r in batch)
    # a klu_native worker refactors with the pivot order of its first scenario: equal up to rounding
    tolerance = {"rel": 1e-12, "abs": 1e-14} if backend == "klu_native" else {"rel": 0, "abs": 0}
    for r, values in zip(batch, expected, strict=True):
        assert r.voltage_mag + r.voltage_ang == pytest.approx(values, **tolerance)


def test_thread_counts_give_identical_results_and_leave_the_model_alone(example):
    before = example.voltage_mag()
    _, p, q = example.bus_spec()  # bus 5 is node 11, carrying a 2.5 MW load
    scenarios = [[], [(5, p[5] * 1.2, q[5])], [(11, 0.0, 0.0), (11, -1.0, 0.2)],
                 [(3, -0.5, -0.1), (12, -0.3, 0.0)]] * 3
    baseline = results(example.solve_batch(scenarios, threads=1))
    assert len(baseline) == len(scenarios) and baseline[0] != baseline[1] != baseline[2]
    for threads in (None, 0, 1, 4, 64):
        assert results(example.solve_batch(scenarios, threads=threads)) == baseline
        assert example.solve_batch([], threads) == example.solve_batch_scaled((), threads) == []
    # a later override of the same bus wins: scenario 2 is bus 11 at (-1.0, 0.2)
    assert results(example.solve_batch([[(11, -1.0, 0.2)]]))[0] == baseline[2]
    assert example.voltage_mag() == before
    example.solve()  # the empty scenario is the plain template
    assert baseline[0][:2] == (example.voltage_mag(), example.voltage_ang())


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_pool_is_cached_per_thread_count(feeder):
    model = PowerFlowModel.from_pgm_json(feeder)
    start = len(os.listdir("/proc/self/task"))

    def pool_threads():
        return len(os.listdir("/proc/self/task")) - start

    assert model.solve_batch([], threads=3) == [] and pool_threads() == 3  # built even so
    model.solve_batch([[]] * 5, threads=3)
    assert pool_threads() == 3
    model.solve_batch_scaled([1.0], threads=0)
    assert pool_threads() == 1
    with pytest.raises(RuntimeError, match="^building the rayon thread pool failed: "):
        model.solve_batch([[(99, 0.0, 0.0)]], threads=2**62)  # refused before validation
    model.reset()
    assert pool_threads() == 1
    del model
    assert pool_threads() == 0


@pytest.mark.parametrize("wrap", [
    tuple,
    lambda items: Scenarios(items, lambda items: 1 // 0),
    lambda items: Scenarios(items, lambda items: sys.maxsize),  # never a reservation that big
    lambda items: Scenarios(items, lambda items: 0),
])
def test_any_sequence_is_accepted_and_its_length_is_only_a_hint(example, wrap):
    expected = results(example.solve_batch([[(11, -1.0, 0.0)], [], [(3, -0.5, 0.0)]]))
    scenarios = wrap([wrap([(11, -1.0, 0.0)]), wrap([]), [(3, -0.5, 0.0)]])
    assert results(example.solve_batch(scenarios)) == expected
    assert results(example.solve_batch_scaled(wrap([0.5, 2.0]))) == \
        results(example.solve_batch_scaled([0.5, 2.0]))


def test_bus_out_of_range_refuses_the_whole_batch(example):
    n = example.n_nodes
    with pytest.raises(RuntimeError) as info:
        example.solve_batch([[(0, 0.0, 0.0)], [], [(n - 1, 0.0, 0.0), (1000000, 0.0, 0.0)]])
    assert str(info.value) == \
        f"scenario 2 overrides bus 1000000, but the template has only {n} bus(es)"
    with pytest.raises(RuntimeError, match=rf"^scenario 0 overrides bus {n}, "):
        example.solve_batch([[(n, 0.0, 0.0)]])


def test_non_converging_scenario_is_reported_not_raised(feeder):
    model = PowerFlowModel.from_pgm_json(feeder, max_iter=7)
    alone = results(model.solve_batch([[]]))[0]
    batch = model.solve_batch([[], [(1, -1e4, -1e3)], []], threads=2)  # far beyond its capacity
    assert results(batch)[0] == results(batch)[2] == alone
    failed = batch[1]
    assert (failed.converged, failed.iterations, len(failed.voltage_mag)) == (False, 7, 4)
    assert not failed.max_mismatch <= 1e-6  # large or NaN


def test_zero_iterations_never_converge_in_a_batch_though_solve_passes(write_network):
    # no load: the linear initial guess already meets tol, so solve() succeeds with no pass, but
    # a batch reports the Newton iteration, which never ran
    idle = network([1, 2], [line(10, 1, 2)], [source(20, 1)])
    model = PowerFlowModel.from_pgm_json(write_network(idle), max_iter=0, tol=1e-9)
    assert model.solve() is None
    [r] = model.solve_batch([[]])
    assert (r.iterations, r.max_mismatch, r.converged) == (0, 0.0, False)
    assert r.voltage_mag == model.voltage_mag()


def test_scaled_batches_are_scaled_overrides_in_order(example):
    _, p, q = example.bus_spec()
    scales = [0.5, 1.0, 1.5, 0.0]
    explicit = [[(i, p[i] * s, q[i] * s) for i in range(len(p)) if p[i] != 0.0 or q[i] != 0.0]
                for s in scales]
    scaled = results(example.solve_batch_scaled(scales, threads=0))
    assert scaled == results(example.solve_batch(explicit, threads=0))
    assert scaled[1] == results(example.solve_batch([[]]))[0]
    assert len({tuple(r[0]) for r in scaled}) == len(scales)


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


@pytest.mark.skipif(not os.path.isdir("/proc/self") or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs /proc and an address space that may be limited")
def test_exhausted_memory_is_memory_error_not_the_end_of_the_process():
    run = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(EXAMPLE)],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "1\n"), run.stderr


def test_batch_results_are_read_only_copies_that_outlive_their_model(feeder):
    [r] = PowerFlowModel.from_pgm_json(feeder).solve_batch([[(1, -0.3, -0.1)]])
    for name in ("voltage_mag", "voltage_ang", "iterations", "converged", "max_mismatch"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    r.voltage_mag[0] = -1.0
    assert r.voltage_mag[0] != -1.0 and len(r.voltage_mag) == 4
    assert type(r.iterations) is int and type(r.max_mismatch) is float
    assert run_in_thread(lambda: results([r])) == results([r])  # free of any thread
