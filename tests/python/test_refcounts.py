"""Every method called 10,000 times on one model: no growth of the Python heap, of the C heap or of
the reference counts of the objects passed in, of the classes and of the model."""

import ctypes
import ctypes.util
import gc
import sys

import pytest

from quillmere import BatchResult, PowerFlowModel

from conftest import EXAMPLE

CALLS = 10_000
PATH, MRID, BACKEND, TOL = str(EXAMPLE), "feeder-7", "scalar", 1.5e-7
SCENARIOS = [[(5, -2.0, -0.5), (12, -0.3, 0.0)], []]
SCALES = [0.5, 1.5]


class MallInfo2(ctypes.Structure):  # glibc's ten counters; 4 is hblkhd, 7 uordblks
    _fields_ = [("counters", ctypes.c_size_t * 10)]


_mallinfo2 = getattr(ctypes.CDLL(ctypes.util.find_library("c")), "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def measure():
    gc.collect()
    counters = (_mallinfo2() if _mallinfo2 else MallInfo2()).counters
    return sys.getallocatedblocks(), counters[4] + counters[7]


def expect(error, function):
    def call(model):
        with pytest.raises(error):
            function(model)
    return call


CALLS_BY_NAME = {
    "from_pgm_json": lambda m: PowerFlowModel.from_pgm_json(PATH, backend=BACKEND, tol=TOL),
    "n_nodes": lambda m: m.n_nodes,
    "bus_index_for_mrid": lambda m: m.bus_index_for_mrid(MRID),
    "solve": lambda m: m.solve(),
    "reset": lambda m: m.reset(),
    "solve_batch": lambda m: m.solve_batch(SCENARIOS, threads=2),
    "solve_batch_scaled": lambda m: m.solve_batch_scaled(SCALES, 2),
    "default_threads": lambda m: PowerFlowModel.default_threads(),
    "ybus_triplets": lambda m: m.ybus_triplets(),
    "bus_spec": lambda m: m.bus_spec(),
    "initial_guess": lambda m: m.initial_guess(),
    "zip_term_counts": lambda m: m.zip_term_counts(),
    "voltage_mag": lambda m: m.voltage_mag(),
    "voltage_ang": lambda m: m.voltage_ang(),
    "voltage_kv": lambda m: m.voltage_kv(),
    "bad argument note": expect(TypeError, lambda m: PowerFlowModel.from_pgm_json(PATH, tol=MRID)),
    "bad backend": expect(ValueError, lambda m: PowerFlowModel.from_pgm_json(PATH, backend=MRID)),
    "argument list error": expect(TypeError, lambda m: m.bus_index_for_mrid(MRID, mrid=MRID)),
    "mrid note": expect(TypeError, lambda m: m.bus_index_for_mrid(7)),
    "scenario note": expect(ValueError, lambda m: m.solve_batch(SCENARIOS + [[(0, TOL)]])),
    "batch refused": expect(RuntimeError, lambda m: m.solve_batch(SCENARIOS + [[(99, TOL, TOL)]])),
    # on a model whose only component cannot converge in 0 iterations
    "failing solve": expect(RuntimeError, lambda m: m.solve()),
}


@pytest.mark.parametrize("name", CALLS_BY_NAME)
def test_repeated_calls_do_not_grow(example, feeder, name):
    call = CALLS_BY_NAME[name]
    model = PowerFlowModel.from_pgm_json(feeder, max_iter=0) if name == "failing solve" else example
    passed = [PATH, MRID, BACKEND, TOL, SCENARIOS, SCALES, PowerFlowModel, BatchResult, model]
    for _ in range(200):
        call(model)
    blocks, heap = measure()
    counts = [sys.getrefcount(obj) for obj in passed]
    for _ in range(CALLS):
        call(model)
    blocks_after, heap_after = measure()
    assert blocks_after - blocks < 100
    assert heap_after - heap < 256 * 1024
    assert [sys.getrefcount(obj) for obj in passed] == counts
