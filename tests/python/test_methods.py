import json
import math

import pytest

from quillmere import PowerFlowModel

from conftest import EXAMPLE

# Bus layout of the example: its 26 nodes by ascending id, the star bus of its three-winding
# transformer, then the slack buses of its two sources.
NODES = sorted(json.loads(EXAMPLE.read_text())["data"]["node"], key=lambda n: n["id"])
NODE_IDS = [n["id"] for n in NODES]
PV_BUS = NODE_IDS.index(13)
ISOLATED_BUS = NODE_IDS.index(44)
STAR_BUS, SLACK_A, SLACK_B = 26, 27, 28


def test_fresh_model_reads_the_loaded_values(example):
    assert example.n_nodes == 29
    vm, va = example.voltage_mag(), example.voltage_ang()
    assert isinstance(vm, list) and len(vm) == 29
    assert va == [0.0] * 29
    assert vm[SLACK_A] == pytest.approx(1.03) and vm[SLACK_B] == pytest.approx(1.02)
    assert vm[PV_BUS] == pytest.approx(1.01)
    others = [v for i, v in enumerate(vm) if i not in (SLACK_A, SLACK_B, PV_BUS)]
    assert others == [1.0] * 26


def test_bus_spec_reads_the_template(example):
    kinds, p, q = example.bus_spec()
    assert all(type(k) is int for k in kinds)
    expected = [2] * 29
    expected[PV_BUS] = 1
    expected[SLACK_A] = expected[SLACK_B] = 0
    assert kinds == expected
    assert all(type(v) is float for v in p + q)
    assert p[PV_BUS] == pytest.approx(6.0)  # 6 MW generation on the 1 MVA base
    assert p[NODE_IDS.index(11)] == pytest.approx(-2.5) and q[NODE_IDS.index(11)] == \
        pytest.approx(-0.8)
    example.solve()
    assert example.bus_spec() == (kinds, p, q)


def test_zip_term_counts(example):
    counts = example.zip_term_counts()
    assert len(counts) == 29 and all(type(c) is int for c in counts)
    # node 12 carries one constant-current load, node 34 one constant-impedance load
    assert counts[NODE_IDS.index(12)] == 1 and counts[NODE_IDS.index(34)] == 1
    assert counts[NODE_IDS.index(11)] == 0 and counts[SLACK_A] == 0


def test_ybus_triplets_are_row_major_and_symmetric(example):
    rows, cols, g, b = example.ybus_triplets()
    assert len(rows) == len(cols) == len(g) == len(b) > 29
    assert all(type(r) is int for r in rows) and all(type(x) is float for x in g)
    pairs = list(zip(rows, cols))
    assert pairs == sorted(pairs) and len(set(pairs)) == len(pairs)
    assert set(rows) == set(range(29))  # the open cable leaves a shunt at the isolated bus
    entries = {(r, c): complex(gr, bi) for r, c, gr, bi in zip(rows, cols, g, b)}
    # without phase shifts (every clock is 0) the matrix is symmetric
    for (r, c), y in entries.items():
        assert entries[(c, r)] == pytest.approx(y)


def test_solve_returns_none_and_fills_the_working_buses(example):
    assert example.solve() is None
    vm, va = example.voltage_mag(), example.voltage_ang()
    assert vm[SLACK_A] == pytest.approx(1.03) and va[SLACK_A] == 0.0
    assert vm[PV_BUS] == pytest.approx(1.01)
    assert vm[ISOLATED_BUS] == 0.0 and va[ISOLATED_BUS] == 0.0
    loaded = [v for i, v in enumerate(vm) if i not in (ISOLATED_BUS,)]
    assert all(0.85 < v < 1.1 for v in loaded)
    kv = example.voltage_kv()
    for i, node in enumerate(NODES):
        assert kv[i] == pytest.approx(vm[i] * node["u_rated"] / 1000.0)


def test_returned_lists_are_copies(example):
    before = example.voltage_mag()
    again = example.voltage_mag()
    assert before == again and before is not again
    before.append(5.0)
    example.solve()
    assert len(example.voltage_mag()) == 29
    assert before[:29] != example.voltage_mag()


def test_initial_guess_ignores_solves(example):
    first = example.initial_guess()
    assert isinstance(first, tuple) and len(first) == 2 and len(first[0]) == 29
    example.solve()
    assert example.initial_guess() == first
    assert example.voltage_mag() != first[0]


def test_reset_then_solve_gives_the_same_voltages(example):
    example.solve()
    solved = (example.voltage_mag(), example.voltage_ang())
    example.solve()
    assert (example.voltage_mag(), example.voltage_ang()) == solved
    assert example.reset() is None
    example.solve()
    assert (example.voltage_mag(), example.voltage_ang()) == solved


def test_n_nodes_never_changes(example):
    n = example.n_nodes
    example.solve()
    example.reset()
    assert example.n_nodes == n == len(example.voltage_mag())


def test_default_threads_reads_the_environment_once():
    import subprocess
    import sys
    script = ("import os; from quillmere import PowerFlowModel as M; a = M.default_threads(); "
              "os.environ['RAYON_NUM_THREADS'] = '2'; print(a, M.default_threads())")
    for env, expected in [({"RAYON_NUM_THREADS": "3"}, "3 3"),
                          ({"RAYON_RS_NUM_CPUS": "5"}, "5 5"),
                          ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, "4 4"),
                          ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "6"}, "6 6")]:
        import os
        full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        out = subprocess.run([sys.executable, "-c", script], env={**full, **env},
                             capture_output=True, text=True, check=True).stdout
        assert out.split() == expected.split()


def test_large_network_solves(networks):
    model = PowerFlowModel.from_pgm_json(str(networks / "dist_12k.json"))
    assert model.n_nodes == 11846
    model.solve()
    vm = model.voltage_mag()
    assert all(math.isfinite(v) for v in vm)
    assert 0.0 in vm  # its sourceless islands
    assert max(vm) < 1.2


def test_ybus_triplets_values(feeder):
    # 0.5 + 1.0j ohm at 10 kV on 1 MVA: z = 0.005 + 0.01j per-unit, y = 40 - 80j
    rows, cols, g, b = PowerFlowModel.from_pgm_json(feeder).ybus_triplets()
    entries = {(r, c): (gr, bi) for r, c, gr, bi in zip(rows, cols, g, b)}
    assert entries[(0, 1)] == pytest.approx((-40.0, 80.0))
    assert entries[(1, 0)] == pytest.approx((-40.0, 80.0))
    assert entries[(1, 1)] == pytest.approx((80.0, -160.0))
    assert (0, 2) not in entries and (0, 3) in entries  # the source's impedance to its slack bus
