"""Exhausted memory is MemoryError from every solving method, and the model then solves as before."""
import json
import os
import subprocess
import sys

import pytest

from conftest import UNDER_ASAN, line, load, network, source

# Run in a child whose address space is capped at what it already maps (plus a little for the
# interpreter's own objects), after one solve and one batch (which builds the worker pool). The
# model's caches are dropped first, since a solve on kept caches keeps its lists and factorisations
# and needs far less than that little. The C library's allocator is set so that every large block
# is a new mapping from the one heap: no solve finds one in memory freed earlier, nor in the room a
# worker thread's own heap keeps in reserve. The limit is then lifted and the model must give the
# results it gave before.
CHILD = """
import resource, sys
from quillmere import PowerFlowModel

model = PowerFlowModel.from_pgm_json(sys.argv[1], backend=sys.argv[2])
model.solve()
solved = model.voltage_mag() + model.voltage_ang()
batch = [r.voltage_mag + r.voltage_ang for r in model.solve_batch_scaled([1.0, 0.5], threads=2)]

model.reset()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (4 << 20), hard))
outcomes = []
for call in (model.solve, lambda: model.solve_batch([[]] * 4, threads=2),
             lambda: model.solve_batch_scaled([1.0] * 4, threads=2)):
    try:
        call()
        outcomes.append("solved")
    except MemoryError:
        outcomes.append("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

model.solve()
assert model.voltage_mag() + model.voltage_ang() == solved
again = [r.voltage_mag + r.voltage_ang for r in model.solve_batch_scaled([1.0, 0.5], threads=2)]
assert again == batch
print(" ".join(outcomes))
"""
TUNABLES = "glibc.malloc.mmap_threshold=131072:glibc.malloc.arena_max=1"


def grid_network(side):
    """A side x side mesh of 10 kV lines fed at one corner, every node loaded."""
    node = lambda r, c: 1 + r * side + c  # noqa: E731
    lines = []
    for r in range(side):
        for c in range(side):
            if c + 1 < side:
                lines.append(line(10**6 + len(lines), node(r, c), node(r, c + 1), 0.05, 0.1))
            if r + 1 < side:
                lines.append(line(10**6 + len(lines), node(r, c), node(r + 1, c), 0.05, 0.1))
    nodes = [node(r, c) for r in range(side) for c in range(side)]
    loads = [load(2 * 10**6 + k, n, 50.0, 10.0) for k, n in enumerate(nodes[1:])]
    return network(nodes, lines, [source(3 * 10**6, nodes[0])], loads)


@pytest.fixture(scope="module")
def grid(tmp_path_factory):
    path = tmp_path_factory.mktemp("memory") / "grid.json"
    path.write_text(json.dumps(grid_network(120)))
    return str(path)


@pytest.mark.skipif(UNDER_ASAN,
                    reason="AddressSanitizer reserves far more address space than any limit allows")
@pytest.mark.parametrize("backend", ["scalar", "block", "klu_native"])
def test_exhausted_memory_is_memory_error_and_the_model_recovers(grid, backend):
    child = subprocess.run([sys.executable, "-c", CHILD, grid, backend], capture_output=True,
                           text=True, timeout=300,
                           env=dict(os.environ, GLIBC_TUNABLES=TUNABLES))
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["MemoryError"] * 3
