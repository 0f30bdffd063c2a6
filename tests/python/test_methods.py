import json
import os
import subprocess
import sys

import pytest

from quillmere import PowerFlowModel

from conftest import EXAMPLE, line, load, network, source

# Bus layout of the example: its 26 nodes by ascending id, the star bus of its three-winding
# transformer, then the slack buses of its two sources.
NODES = sorted(json.loads(EXAMPLE.read_text())["data"]["node"], key=lambda n: n["id"])
BUS = {n["id"]: i for i, n in enumerate(NODES)}
PV, ISOLATED, SLACK_A, SLACK_B = BUS[13], BUS[44], 27, 28


def test_fresh_model_reads_the_loaded_template(example):
    vm, va = example.voltage_mag(), example.voltage_ang()
    kinds, p, q = example.bus_spec()
    counts = example.zip_term_counts()
    assert example.n_nodes == len(vm) == len(kinds) == len(counts) == 29 and va == [0.0] * 29
    guess = example.initial_guess()
    assert type(guess) is tuple and [len(v) for v in guess] == [29, 29]
    special = {SLACK_A: (1.03, 0), SLACK_B: (1.02, 0), PV: (1.01, 1)}  # (magnitude, kind)
    assert vm == pytest.approx([special.get(i, (1.0, 2))[0] for i in range(29)])
    assert kinds == [special.get(i, (1.0, 2))[1] for i in range(29)]
    assert all(type(v) is float for v in p + q) and all(type(c) is int for c in counts)
    assert (p[PV], p[BUS[11]], q[BUS[11]]) == pytest.approx((6.0, -2.5, -0.8))  # on 1 MVA
    # node 12 carries one constant-current load, node 34 one constant-impedance load
    assert [counts[i] for i in (BUS[12], BUS[34], BUS[11], SLACK_A)] == [1, 1, 0, 0]
    assert example.bus_index_for_mrid("bus-1") is example.bus_index_for_mrid(mrid="") is None


def test_ybus_triplets(feeder):
    rows, cols, g, b = PowerFlowModel.from_pgm_json(feeder).ybus_triplets()
    assert all(type(r) is int for r in rows + cols) and all(type(x) is float for x in g + b)
    pairs = list(zip(rows, cols))
    assert pairs == sorted(set(pairs)) and len(pairs) == len(g) == len(b)  # row-major, unique
    # 0.5 + 1.0j ohm at 10 kV on 1 MVA: z = 0.005 + 0.01j per-unit, y = 40 - 80j
    entries = {(r, c): (gr, bi) for r, c, gr, bi in zip(rows, cols, g, b)}
    assert entries[(0, 1)] == entries[(1, 0)] == pytest.approx((-40.0, 80.0))
    assert entries[(1, 1)] == pytest.approx((80.0, -160.0))
    assert (0, 2) not in entries and (0, 3) in entries  # the source's impedance to its slack bus


def test_solve_fills_the_working_buses_and_reset_repeats_it(example):
    template, guess = example.bus_spec(), example.initial_guess()
    assert example.solve() is None
    vm, va = example.voltage_mag(), example.voltage_ang()
    assert (vm[SLACK_A], va[SLACK_A], vm[PV]) == pytest.approx((1.03, 0.0, 1.01))
    assert (vm[ISOLATED], va[ISOLATED]) == (0.0, 0.0)
    assert all(0.85 < v < 1.1 for i, v in enumerate(vm) if i != ISOLATED)
    kv = [v * n["u_rated"] / 1e3 for v, n in zip(vm, NODES)]
    assert example.voltage_kv()[:26] == pytest.approx(kv)
    assert (example.bus_spec(), example.initial_guess()) == (template, guess)
    vm.append(5.0)  # a copy: the model's own values stay as they are
    example.solve()
    assert (example.voltage_mag(), example.voltage_ang()) == (vm[:-1], va)
    assert example.reset() is None
    example.solve()
    assert (example.voltage_mag(), example.voltage_ang()) == (vm[:-1], va)


# Two islands fed by their own sources: nodes 1-2 and 3-4 (buses 0..3), slack buses 4 and 5.
TWO_FEEDERS = network([1, 2, 3, 4], [line(10, 1, 2), line(11, 3, 4)],
                      [source(20, 1), source(21, 3)], [load(30, 2, 3e5, 1e5), load(31, 4, 2e5, 0)])
HEAVY = network([1, 2, 3], [line(10, 1, 2, r=5.0, x=10.0), line(11, 2, 3, r=5.0, x=10.0)],
                [source(20, 1)], [load(30, 3, 4e6, 2e6)])


@pytest.mark.parametrize("document, kwargs, message", [
    (TWO_FEEDERS, {"max_iter": 0},
     "power flow did not converge within 0 iterations (component with buses [0, 1, 4])"),
    (HEAVY, {"max_iter": 2, "tol": 1e-14},
     "power flow did not converge within 2 iterations (component with buses [0, 1, 2, 3])"),
])
def test_solve_failures(write_network, document, kwargs, message):
    model = PowerFlowModel.from_pgm_json(write_network(document), **kwargs)
    for _ in range(2):  # the model stays usable and fails the same way again
        with pytest.raises(RuntimeError) as info:
            model.solve()
        assert str(info.value) == message
    if kwargs["max_iter"]:  # the last iterate is kept
        assert model.voltage_mag() != model.initial_guess()[0]


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, "3 3"),
    ({"RAYON_RS_NUM_CPUS": "5"}, "5 5"),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, "4 4"),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "6"}, "6 6"),
])
def test_default_threads_reads_the_environment_once(env, expected):
    script = ("import os; from quillmere import PowerFlowModel as M; a = M.default_threads(); "
              "os.environ['RAYON_NUM_THREADS'] = '2'; print(a, M.default_threads())")
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    run = subprocess.run([sys.executable, "-c", script], env={**clean, **env}, capture_output=True)
    assert run.stdout.split() == expected.encode().split()
