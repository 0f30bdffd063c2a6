import collections.abc
import concurrent.futures
import json
import os
from pathlib import Path

import pytest

from quillmere import PowerFlowModel

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "network.json"
# The shared data folder beside the repository, or $QM_DATA_DIR.
DATA = Path(os.environ.get("QM_DATA_DIR") or Path(__file__).resolve().parents[3] / "shared" / "data")
# Whether the extension runs under AddressSanitizer, whose runtime the sanitizer run preloads.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def data_network(name):
    """The path of a network of the data folder; skips the test when it is absent."""
    path = DATA / "networks" / name
    if not path.is_file():
        pytest.skip(f"{path} is absent: the data networks are expected in {DATA / 'networks'} "
                    "(or set QM_DATA_DIR)")
    return path


def line(id_, a, b, r=0.5, x=1.0):
    return dict(id=id_, from_node=a, to_node=b, from_status=1, to_status=1, r1=r, x1=x, c1=0.0,
                r0=0.0, x0=0.0, c0=0.0)


def source(id_, node, u_ref=1.0):
    return dict(id=id_, node=node, status=1, u_ref=u_ref, sk=1e10, rx_ratio=0.1)


def load(id_, node, p, q, type_=0):
    return dict(id=id_, node=node, status=1, type=type_, p_specified=p, q_specified=q)


def network(nodes, lines=(), sources=(), loads=()):
    data = {"node": [{"id": n, "u_rated": 10e3} for n in nodes], "line": list(lines),
            "source": list(sources), "sym_load": list(loads)}
    return {"version": "1.0", "type": "input", "is_batch": False, "attributes": {}, "data": data}


def feeder_network(p=2e5, q=5e4):
    """Nodes 1-2-3 on a 10 kV feeder fed at node 1; buses 0..2 are the nodes, bus 3 the source's
    slack bus; the load at node 2 (bus 1) is p + jq."""
    return network([1, 2, 3], [line(10, 1, 2), line(11, 2, 3)], [source(20, 1, 1.02)],
                   [load(30, 2, p, q), load(31, 3, 1e5, 2e4, type_=1)])


ENDLESS = 2**64 - 1  # max_iter without a limit


def two_nodes(p):
    """Node 1 feeds a load of p + jp/4 W at node 2 (bus 1) over one line; 1e9 W is far beyond
    what the line carries, so Newton never converges and, without a pass limit, never ends."""
    return network([1, 2], [line(10, 1, 2)], [source(20, 1)], [load(30, 2, p, p / 4)])


def run_in_thread(function):
    """Runs `function` on a new thread: its result, or the exception it raised (of any kind)."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        future = pool.submit(function)
        return future.exception() or future.result()


def solve_and_batch(model, scales):
    """Everything a solve() and a two-thread scaled batch of `model` give, comparable with ==."""
    model.solve()
    return [model.voltage_mag(), model.voltage_ang()] + [
        (r.voltage_mag, r.voltage_ang, r.iterations, r.converged, r.max_mismatch)
        for r in model.solve_batch_scaled(scales, threads=2)]


class Scenarios(collections.abc.Sequence):
    """A sequence that is no list: `length(items)` gives its length, and each item it hands out
    first calls `on_item()`."""

    def __init__(self, items, length=len, on_item=lambda: None):
        self.items, self.length, self.on_item = items, length, on_item

    __len__ = lambda self: self.length(self.items)  # noqa: E731
    __getitem__ = lambda self, index: (self.items[index], self.on_item())[0]  # noqa: E731


@pytest.fixture
def write_network(tmp_path):
    """Writes a PGM document (dict or raw text) to a new file and returns its path as a str."""

    def write(document):
        path = tmp_path / f"net{len(list(tmp_path.iterdir()))}.json"
        path.write_text(document if isinstance(document, str) else json.dumps(document))
        return str(path)

    return write


@pytest.fixture
def feeder(write_network):
    return write_network(feeder_network())


@pytest.fixture
def example():
    return PowerFlowModel.from_pgm_json(str(EXAMPLE))
