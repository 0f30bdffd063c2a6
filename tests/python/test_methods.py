import json
import os
import subprocess
import sys

import pytest

from quillmere import PowerFlowModel

from conftest import EXAMPLE, feeder_network, line, load, network, source

# Bus layout of the example: its 26 nodes by ascending id, the star bus of its three-winding
# transformer, then the slack buses of its two sources.
NODES = sorted(json.loads(EXAMPLE.read_text())["data"]["node"], key=lambda n: n["id"])
BUS = {n["id"]: i for i, n in enumerate(NODES)}
PV, ISOLATED, SLACK_A, SLACK_B = BUS[13], BUS[44], 27, 28


def test_fresh_model_reads_the_loaded_template(example):
    vm, va, (kinds, p, q) = example.voltage_mag(), example.voltage_ang(), example.bus_spec()
    counts, guess = example.zip_term_counts(), example.initial_guess()
    assert example.n_nodes == len(vm) == len(kinds) == len(counts) == 29 and va == [0.0] * 29
    assert type(guess) is tuple and [len(v) for v in guess] == [29, 29]
    special = {SLACK_A: (1.03, 0), SLACK_B: (1.02, 0), PV: (1.01, 1)}  # (magnitude, kind)
    assert [(round(v, 12), k) for v, k in zip(vm, kinds)] == [special.get(i, (1.0, 2))
                                                              for i in range(29)]
    assert all(type(v) is float for v in p + q) and all(type(c) is int for c in counts)
    assert (p[PV], p[BUS[11]], q[BUS[11]]) == pytest.approx((6.0, -2.5, -0.8))  # on 1 MVA
    # node 12 carries one constant-current load, node 34 one constant-impedance load
    assert [counts[i] for i in (BUS[12], BUS[34], BUS[11], SLACK_A)] == [1, 1, 0, 0]
    assert example.bus_index_for_mrid("bus-1") is example.bus_index_for_mrid(mrid="") is None
    rebased = PowerFlowModel.from_pgm_json(str(EXAMPLE), s_base_va=2e6).bus_spec()
    assert rebased[1][PV] == pytest.approx(3.0)


def test_ybus_triplets(feeder):
    rows, cols, g, b = PowerFlowModel.from_pgm_json(feeder).ybus_triplets()
    assert all(type(r) is int for r in rows + cols) and all(type(x) is float for x in g + b)
    pairs = list(zip(rows, cols))
    assert pairs == sorted(set(pairs)) and len(pairs) == len(g) == len(b)  # row-major, unique
    # 0.5 + 1.0j ohm at 10 kV on 1 MVA: z = 0.005 + 0.01j per-unit, y = 40 - 80j; the source's
    # impedance joins bus 0 to its slack bus 3
    entries = dict(zip(pairs, zip(g, b)))
    assert entries[(0, 1)] == entries[(1, 0)] == pytest.approx((-40.0, 80.0)) and (0, 3) in entries
    assert entries[(1, 1)] == pytest.approx((80.0, -160.0)) and (0, 2) not in entries


def test_solve_fills_the_working_buses_and_reset_repeats_it(example):
    template = example.bus_spec(), example.initial_guess()
    assert example.solve() is None
    vm, va = example.voltage_mag(), example.voltage_ang()
    assert (vm[SLACK_A], va[SLACK_A], vm[PV], vm[ISOLATED], va[ISOLATED]) == \
        pytest.approx((1.03, 0.0, 1.01, 0.0, 0.0))
    assert all(0.85 < v < 1.1 for i, v in enumerate(vm) if i != ISOLATED)
    assert example.voltage_kv()[:26] == pytest.approx([v * n["u_rated"] / 1e3
                                                       for v, n in zip(vm, NODES)])
    assert (example.bus_spec(), example.initial_guess()) == template
    vm.append(5.0)  # a copy: the model's own values stay as they are
    for again in (example.solve, example.reset):
        assert again() is None
        example.solve()
        assert (example.voltage_mag(), example.voltage_ang()) == (vm[:-1], va)


# Two islands fed by their own sources: nodes 1-2 (buses 0, 1, slack bus 4) on two lines whose
# admittances cancel, nodes 3-4 (buses 2, 3, slack bus 5) on one line.
ISLANDS = network([1, 2, 3, 4],
                  [line(10, 1, 2, 0.0, 1.0), line(11, 1, 2, 0.0, -1.0), line(12, 3, 4)],
                  [source(20, 1), source(21, 3)], [load(30, 2, 1e5, 0.0), load(31, 4, 2e5, 0.0)])
NOT_CONVERGED = "power flow did not converge within {} iterations (component with buses {})"
# Sources at both ends of a feeder whose middle draws far more than the lines can carry.
OVERLOADED_BETWEEN_SOURCES = network([1, 2, 3], [line(10, 1, 2), line(11, 2, 3)],
                                     [source(20, 1), source(21, 3)], [load(30, 2, 1e9, 0.0)])


@pytest.mark.parametrize("document, kwargs, message", [
    (ISLANDS, {"max_iter": 0}, NOT_CONVERGED.format(0, [0, 1, 4])),
    (ISLANDS, {}, "Jacobian is singular (component with buses [0, 1, 4])"),
    (feeder_network(), {"max_iter": 1, "tol": 1e-14}, NOT_CONVERGED.format(1, [0, 1, 2, 3])),
    (OVERLOADED_BETWEEN_SOURCES, {}, NOT_CONVERGED.format(20, [0, 1, 2, 3, 4])),
])
def test_solve_failures(write_network, document, kwargs, message):
    model = PowerFlowModel.from_pgm_json(write_network(document), **kwargs)
    for _ in range(2):  # the model stays usable and fails the same way again
        with pytest.raises(RuntimeError) as info:
            model.solve()
        assert str(info.value) == message
    if kwargs.get("max_iter"):  # the last iterate is kept
        assert model.voltage_mag() != model.initial_guess()[0]


def test_default_threads_reads_the_environment_once_passing_over_unusable_values():
    script = ("import os; from quillmere import PowerFlowModel as M; a = M.default_threads(); "
              "os.environ['RAYON_NUM_THREADS'] = '2'; print(a, M.default_threads())")
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    for threads, cpus, expected in [("3", "", b"3 3"), ("x", "4", b"4 4"), ("-2", "6", b"6 6")]:
        env.update(RAYON_NUM_THREADS=threads, RAYON_RS_NUM_CPUS=cpus)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True)
        assert run.stdout.split() == expected.split()
