"""Every method called 10,000 times on one model: no growth of the Python heap, of the C heap or of
the reference counts of the objects passed in, of the classes and of the model."""

import ctypes
import ctypes.util
import gc
import sys
from operator import attrgetter, methodcaller

import pytest

from quillmere import BatchResult, PowerFlowModel

from conftest import EXAMPLE

M = PowerFlowModel
PATH, MRID, BACKEND, TOL = str(EXAMPLE), "feeder-7", "scalar", 1.5e-7
SCENARIOS, SCALES = [[(5, -2.0, -0.5), (12, -0.3, 0.0)], []], [0.5, 1.5]


class MallInfo2(ctypes.Structure):  # glibc's ten counters; 4 is hblkhd, 7 uordblks
    _fields_ = [("counters", ctypes.c_size_t * 10)]


_mallinfo2 = getattr(ctypes.CDLL(ctypes.util.find_library("c")), "mallinfo2", MallInfo2)
_mallinfo2.restype = MallInfo2  # without glibc's mallinfo2 every counter reads 0


def measure():
    gc.collect()
    counters = _mallinfo2().counters
    return sys.getallocatedblocks(), counters[4] + counters[7]


# The calls that fail expect their error through pytest.raises(error, function, *args).
CALLS_BY_NAME = {
    **{name: methodcaller(name) for name in ("solve", "reset", "ybus_triplets", "bus_spec",
       "initial_guess", "zip_term_counts", "voltage_mag", "voltage_ang", "voltage_kv")},
    "from_pgm_json": lambda m: M.from_pgm_json(PATH, backend=BACKEND, tol=TOL),
    "n_nodes": attrgetter("n_nodes"),
    "bus_index_for_mrid": methodcaller("bus_index_for_mrid", MRID),
    "solve_batch": methodcaller("solve_batch", SCENARIOS, threads=2),
    "solve_batch_scaled": methodcaller("solve_batch_scaled", SCALES, 2),
    "default_threads": lambda m: M.default_threads(),
    "bad argument note": lambda m: pytest.raises(TypeError, M.from_pgm_json, PATH, tol=MRID),
    "bad backend": lambda m: pytest.raises(ValueError, M.from_pgm_json, PATH, backend=MRID),
    "argument list error": lambda m: pytest.raises(TypeError, m.bus_index_for_mrid, MRID, mrid=1),
    "scenario note": lambda m: pytest.raises(ValueError, m.solve_batch, SCENARIOS + [[(0, TOL)]]),
    "bad bus": lambda m: pytest.raises(RuntimeError, m.solve_batch, [*SCENARIOS, [(99, 0, 0)]]),
    # on a model whose only component cannot converge in 0 iterations
    "failing solve": lambda m: pytest.raises(RuntimeError, m.solve),
}


@pytest.mark.parametrize("name", CALLS_BY_NAME)
def test_repeated_calls_do_not_grow(example, feeder, name):
    call = CALLS_BY_NAME[name]
    model = M.from_pgm_json(feeder, max_iter=0) if name == "failing solve" else example
    passed = [PATH, MRID, BACKEND, TOL, SCENARIOS, SCALES, M, BatchResult, model]
    for _ in range(200):
        call(model)
    blocks, heap = measure()
    counts = [sys.getrefcount(obj) for obj in passed]
    for _ in range(10_000):
        call(model)
    blocks_after, heap_after = measure()
    # a leak of one block per call shows as 10,000; a few hundred is the interpreter's own noise
    assert blocks_after - blocks < 1000 and heap_after - heap < 256 * 1024
    assert [sys.getrefcount(obj) for obj in passed] == counts
