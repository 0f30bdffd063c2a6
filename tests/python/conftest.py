import json
from pathlib import Path

import pytest

import quillmere
from quillmere import PowerFlowModel

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "network.json"
NETWORKS = REPO.parent / "shared" / "data" / "networks"


def pytest_report_header():
    return f"quillmere: {quillmere._quillmere.__file__}"


def line(id_, a, b, r=0.5, x=1.0, status=(1, 1)):
    return {"id": id_, "from_node": a, "to_node": b, "from_status": status[0],
            "to_status": status[1], "r1": r, "x1": x, "c1": 0.0, "r0": 0.0, "x0": 0.0, "c0": 0.0}


def source(id_, node, u_ref=1.0):
    return {"id": id_, "node": node, "status": 1, "u_ref": u_ref, "sk": 1e10, "rx_ratio": 0.1}


def load(id_, node, p, q, type_=0):
    return {"id": id_, "node": node, "status": 1, "type": type_, "p_specified": p,
            "q_specified": q}


def network(nodes, lines=(), sources=(), loads=(), **more):
    data = {"node": [{"id": n, "u_rated": 10e3} for n in nodes], "line": list(lines),
            "source": list(sources), "sym_load": list(loads)}
    data.update(more)
    return {"version": "1.0", "type": "input", "is_batch": False, "attributes": {}, "data": data}


@pytest.fixture
def write_network(tmp_path):
    """Writes a PGM document and returns its path as a str."""
    count = [0]

    def write(document):
        count[0] += 1
        path = tmp_path / f"net{count[0]}.json"
        path.write_text(document if isinstance(document, str) else json.dumps(document))
        return str(path)

    return write


@pytest.fixture
def feeder(write_network):
    """Nodes 1-2-3 on a 10 kV feeder fed at node 1; buses 0..2 are the nodes, bus 3 the source's
    slack bus."""
    return write_network(network(
        [1, 2, 3], [line(10, 1, 2), line(11, 2, 3)], [source(20, 1, 1.02)],
        [load(30, 2, 2e5, 5e4), load(31, 3, 1e5, 2e4, type_=1)]))


@pytest.fixture
def example():
    return PowerFlowModel.from_pgm_json(str(EXAMPLE))


@pytest.fixture(scope="session")
def networks():
    if not NETWORKS.is_dir():
        pytest.skip("the shared network files are not beside the repository")
    return NETWORKS
