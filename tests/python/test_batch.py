import collections.abc
import inspect
import os
import re
import subprocess
import sys
import threading

import pytest

from quillmere import BatchResult, PowerFlowModel

from conftest import EXAMPLE, line, load, network, source

LOADS_W_VAR = [(2e5, 5e4), (8e5, 1e5), (0.0, 0.0), (1.5e6, -3e5), (4e5, 4e5)]


def feeder_with_load(p, q):
    """Nodes 1-2-3 fed at node 1 (buses 0..2, slack bus 3); the load at node 2 (bus 1) varies."""
    return network([1, 2, 3], [line(10, 1, 2), line(11, 2, 3)], [source(20, 1, 1.02)],
                   [load(30, 2, p, q), load(31, 3, 1e5, 2e4, type_=1)])


def results(batch):
    return [(r.voltage_mag, r.voltage_ang, r.iterations, r.converged, r.max_mismatch)
            for r in batch]


def pool_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("backend", ["scalar", "block", "klu_native"])
def test_scenarios_match_single_solves_in_order(write_network, backend):
    # Each scenario overrides bus 1 with the injection a file carrying that load loads to, so its
    # result must be the single solve of that file.
    expected, scenarios = [], []
    for p, q in LOADS_W_VAR:
        single = PowerFlowModel.from_pgm_json(write_network(feeder_with_load(p, q)),
                                              backend=backend)
        _, p_spec, q_spec = single.bus_spec()
        scenarios.append([(1, p_spec[1], q_spec[1])])
        single.solve()
        expected.append((single.voltage_mag(), single.voltage_ang()))
    model = PowerFlowModel.from_pgm_json(write_network(feeder_with_load(*LOADS_W_VAR[0])),
                                         backend=backend)
    batch = model.solve_batch(scenarios, threads=3)
    assert all(type(r) is BatchResult for r in batch)
    got = [(r.voltage_mag, r.voltage_ang) for r in batch]
    if backend == "klu_native":
        # a worker refactors with the pivot order of its first scenario: equal up to rounding
        for (vm, va), (evm, eva) in zip(got, expected):
            assert vm == pytest.approx(evm, rel=1e-12, abs=1e-14)
            assert va == pytest.approx(eva, rel=1e-12, abs=1e-14)
    else:
        assert got == expected
    for r in batch:
        assert r.converged is True
        assert type(r.iterations) is int and r.iterations >= 1
        assert 0.0 <= r.max_mismatch < 1e-6


def test_thread_counts_give_identical_results(example):
    _, p, q = example.bus_spec()  # bus 5 is node 11, carrying a 2.5 MW load
    scenarios = [[], [(5, p[5] * 1.2, q[5])], [(11, 0.0, 0.0), (11, -1.0, 0.2)],
                 [(3, -0.5, -0.1), (12, -0.3, 0.0)]] * 3
    baseline = results(example.solve_batch(scenarios, threads=1))
    assert len(baseline) == len(scenarios)
    assert baseline[0] != baseline[1] != baseline[2]
    for threads in (None, 0, 4, 64):
        assert results(example.solve_batch(scenarios, threads=threads)) == baseline
    assert results(example.solve_batch(scenarios=scenarios, threads=4)) == baseline
    # a later override of the same bus wins: scenario 2 is bus 11 at (-1.0, 0.2)
    assert results(example.solve_batch([[(11, -1.0, 0.2)]]))[0] == baseline[2]


def test_empty_scenario_is_the_plain_template_and_leaves_the_model_alone(example):
    before = example.voltage_mag()
    [plain] = example.solve_batch([[]])
    assert example.voltage_mag() == before
    example.solve()
    assert plain.voltage_mag == example.voltage_mag()
    assert plain.voltage_ang == example.voltage_ang()
    assert example.solve_batch_scaled([1.0])[0].voltage_mag == plain.voltage_mag


@pytest.mark.parametrize("threads", [None, 0, 1, 4])
def test_empty_lists_give_empty_results(example, threads):
    assert example.solve_batch([], threads=threads) == []
    assert example.solve_batch_scaled((), threads) == []


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_pool_is_cached_per_thread_count(feeder):
    model = PowerFlowModel.from_pgm_json(feeder)
    start = pool_threads()
    assert model.solve_batch([], threads=3) == []  # an empty batch still builds the pool
    assert pool_threads() == start + 3
    model.solve_batch([[]] * 5, threads=3)
    assert pool_threads() == start + 3
    model.solve_batch_scaled([1.0], threads=0)
    assert pool_threads() == start + 1
    with pytest.raises(RuntimeError, match="^building the rayon thread pool failed: "):
        model.solve_batch([[(99, 0.0, 0.0)]], threads=2**62)  # refused before validation
    assert pool_threads() == start + 1
    model.reset()
    assert pool_threads() == start + 1
    del model
    assert pool_threads() == start


SCENARIO_ERRORS = [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (["abc"], TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({0: []}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ((s for s in [[]]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    ([[(0, 1.0)]], ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ([[[0, 1.0, 2.0]]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ([[(-1, 0.0, 0.0)]], OverflowError, "can't convert negative int to unsigned"),
    ([[(1.0, 0.0, 0.0)]], TypeError, "'float' object cannot be interpreted as an integer"),
    ([[(0, "x", 0.0)]], TypeError, None),
    # the first failure in iteration order is the one raised
    ([[(0, 0.0, 0.0)], [(0, 1.0)], "abc"], ValueError, "got tuple of length 2"),
]


@pytest.mark.parametrize("scenarios, error, message", SCENARIO_ERRORS)
def test_bad_scenarios_raise_with_the_note(example, scenarios, error, message):
    with pytest.raises(error) as info:
        example.solve_batch(scenarios, threads=-1)  # threads is converted only afterwards
    assert type(info.value) is error
    if message is not None:
        assert message in str(info.value)
    assert info.value.__notes__ == ["while processing 'scenarios'"]


@pytest.mark.parametrize("scales, error, message", [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (1.0, TypeError, "'float' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], TypeError, None),
    ([[1.0]], TypeError, None),
])
def test_bad_scales_raise_with_the_note(example, scales, error, message):
    with pytest.raises(error) as info:
        example.solve_batch_scaled(scales, threads="x")
    assert message is None or message in str(info.value)
    assert info.value.__notes__ == ["while processing 'scales'"]


@pytest.mark.parametrize("threads, error", [(-1, OverflowError), (1.5, TypeError)])
def test_bad_thread_counts_raise_with_the_note(example, threads, error):
    for call in (lambda: example.solve_batch([[]], threads),
                 lambda: example.solve_batch_scaled([1.0], threads=threads)):
        with pytest.raises(error) as info:
            call()
        assert info.value.__notes__ == ["while processing 'threads'"]


@pytest.mark.parametrize("call, message", [
    (lambda m: m.solve_batch(), "missing 1 required positional argument: 'scenarios'"),
    (lambda m: m.solve_batch([], 1, 2), "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda m: m.solve_batch_scaled([], scales=[]), "got multiple values for argument 'scales'"),
])
def test_argument_list_errors(example, call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call(example)


class Registered:
    """Iterable and registered as a Sequence, but not a sequence to the interpreter's own check."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


collections.abc.Sequence.register(Registered)


class LyingLength(collections.abc.Sequence):
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("wrap", [
    tuple,
    Registered,
    lambda items: LyingLength(items, ZeroDivisionError()),
    lambda items: LyingLength(items, sys.maxsize),  # only a hint: never a reservation that big
    lambda items: LyingLength(items, 0),
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
    assert len(example.solve_batch([[(n - 1, 0.0, 0.0)]])) == 1


def test_non_converging_scenario_is_reported_not_raised(write_network):
    base = write_network(feeder_with_load(2e5, 5e4))
    model = PowerFlowModel.from_pgm_json(base, max_iter=7)
    alone = results(model.solve_batch([[]]))[0]
    # far beyond what the feeder can carry
    batch = model.solve_batch([[], [(1, -1e4, -1e3)], []], threads=2)
    assert results(batch)[0] == results(batch)[2] == alone
    failed = batch[1]
    assert failed.converged is False
    assert failed.iterations == 7
    assert failed.max_mismatch > 1e-6 or failed.max_mismatch != failed.max_mismatch
    assert len(failed.voltage_mag) == model.n_nodes


def test_zero_iterations_never_converge_in_a_batch_though_solve_passes(write_network):
    # no load: the linear initial guess already meets tol, so solve() succeeds with no pass, but
    # a batch reports the Newton iteration, which never ran
    idle = PowerFlowModel.from_pgm_json(
        write_network(network([1, 2], [line(10, 1, 2)], [source(20, 1)])), max_iter=0, tol=1e-9)
    assert idle.solve() is None
    [r] = idle.solve_batch([[]])
    assert (r.iterations, r.max_mismatch, r.converged) == (0, 0.0, False)
    assert r.voltage_mag == idle.voltage_mag()


def test_scaled_batches_are_scaled_overrides_in_order(example):
    _, p, q = example.bus_spec()
    scales = [0.5, 1.0, 1.5, 0.0]
    explicit = [[(i, p[i] * s, q[i] * s) for i in range(len(p)) if p[i] != 0.0 or q[i] != 0.0]
                for s in scales]
    scaled = results(example.solve_batch_scaled(scales, threads=0))
    assert scaled == results(example.solve_batch(explicit, threads=0))
    assert scaled[1] == results(example.solve_batch([[]]))[0]
    assert len({tuple(r[0]) for r in scaled}) == len(scales)
    assert results(example.solve_batch_scaled(scales=(2, 1))) == \
        results(example.solve_batch_scaled([2.0, 1.0]))


OUT_OF_MEMORY = """
import resource, sys
from quillmere import PowerFlowModel
model = PowerFlowModel.from_pgm_json(sys.argv[1])
with open("/proc/self/status") as status:
    size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
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


def test_batch_results_are_read_only_and_outlive_their_model(feeder):
    model = PowerFlowModel.from_pgm_json(feeder)
    [r] = model.solve_batch([[(1, -0.3, -0.1)]])
    del model
    for name in ("voltage_mag", "voltage_ang", "iterations", "converged", "max_mismatch"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    vm = r.voltage_mag
    vm[0] = -1.0
    assert r.voltage_mag[0] != -1.0 and r.voltage_mag is not r.voltage_mag
    assert sys.getrefcount(r.voltage_ang) == 2
    assert len(vm) == 4 and type(r.iterations) is int and type(r.max_mismatch) is float


def test_batch_results_are_usable_from_another_thread(example):
    batch = example.solve_batch([[], [(11, -1.0, 0.0)]])
    here = results(batch)
    seen = {}
    worker = threading.Thread(target=lambda: seen.update(value=results(batch)))
    worker.start()
    worker.join()
    assert seen["value"] == here


def test_batch_from_another_thread_panics_after_argument_binding(example):
    outcome = {}

    def body(call):
        try:
            call()
        except BaseException as error:  # noqa: B902 - PanicException is no Exception
            outcome["error"] = error

    for call, kind in [(lambda: example.solve_batch([[]]), "PanicException"),
                       (lambda: example.solve_batch_scaled(), "TypeError")]:
        worker = threading.Thread(target=body, args=(call,))
        worker.start()
        worker.join()
        assert type(outcome.pop("error")).__name__ == kind
    assert len(example.solve_batch([[]])) == 1


def test_batch_methods_sit_in_the_method_table(example):
    names = [n for n in vars(PowerFlowModel) if not n.startswith("__")]
    assert names[:8] == ["from_pgm_json", "bus_index_for_mrid", "solve", "reset", "solve_batch",
                         "solve_batch_scaled", "default_threads", "ybus_triplets"]
    for name, params in [("solve_batch", "scenarios"), ("solve_batch_scaled", "scales")]:
        method = getattr(PowerFlowModel, name)
        assert str(inspect.signature(method)) == f"(self, /, {params}, threads=None)"
        assert str(inspect.signature(getattr(example, name))) == f"({params}, threads=None)"
        assert "BatchResult" in method.__doc__ and "threads" in method.__doc__
