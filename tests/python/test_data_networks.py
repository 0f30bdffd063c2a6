"""The realistic networks of the shared data folder, solved from Python."""
import json

import pytest

from conftest import data_network
from quillmere import PowerFlowModel

NETWORKS = {"case1354pegase.json": 1355, "case9241pegase.json": 9242,
            "case_ACTIVSg10k.json": 10001, "dist_12k.json": 11846, "dist_60k.json": 59177}


@pytest.mark.parametrize("name, buses", NETWORKS.items())
def test_every_data_network_solves(name, buses):
    model = PowerFlowModel.from_pgm_json(str(data_network(name)))
    assert model.solve() is None
    assert len(model.voltage_mag()) == buses


def test_an_isolated_node_changes_no_other_voltage(tmp_path):
    path = data_network("dist_12k.json")
    document = json.loads(path.read_text())
    nodes = len(document["data"]["node"])
    # The largest id: its bus comes right after the other nodes' buses.
    document["data"]["node"].append({"id": 99999999999, "u_rated": 400.0})
    (tmp_path / "isolated.json").write_text(json.dumps(document))
    plain = PowerFlowModel.from_pgm_json(str(path))
    isolated = PowerFlowModel.from_pgm_json(str(tmp_path / "isolated.json"))
    plain.solve()
    isolated.solve()
    vm, va = isolated.voltage_mag(), isolated.voltage_ang()
    assert vm[nodes] == 0.0
    del vm[nodes], va[nodes]
    assert vm == pytest.approx(plain.voltage_mag(), abs=1e-9)
    assert va == pytest.approx(plain.voltage_ang(), abs=1e-9)
    assert isolated.solve_batch([[]])[0].converged
