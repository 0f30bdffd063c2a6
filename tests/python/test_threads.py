import gc
import re
import sys

import pytest

from quillmere import PowerFlowModel

from conftest import Scenarios, run_in_thread

UNSENDABLE = re.escape("assertion `left == right` failed: quillmere::python::PowerFlowModel is "
                       "unsendable, but sent to another thread\n  left: ThreadId(") + \
    r"(\d+)\)\n right: ThreadId\((\d+)\)"


def test_use_from_another_thread(example, capfd):
    # argument binding comes before the owner-thread check
    assert type(run_in_thread(example.bus_index_for_mrid)) is TypeError
    errors = [run_in_thread(call) for call in
              (lambda: example.n_nodes, example.solve, lambda: example.solve_batch([[]]))]
    for error in errors:
        assert type(error) is type(errors[0]) and type(error).__name__ == "PanicException"
        assert type(error).__module__ == "pyo3_runtime" and not isinstance(error, Exception)
        left, right = re.fullmatch(UNSENDABLE, str(error)).groups()
        assert left != right
    assert capfd.readouterr().err.count("sent to another thread") == 3  # reported there as well


def test_model_belongs_to_the_thread_that_made_it(feeder):
    seen = []
    old_hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder).solve())  # released there
        made = run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder))
        with pytest.raises(BaseException, match="sent to another thread"):
            made.solve()
        assert seen == []
        del made
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert [(type(s.exc_value), str(s.exc_value)) for s in seen] == [
        (RuntimeError, "quillmere::python::PowerFlowModel is unsendable, but is being dropped on "
                       "another thread")]


def test_model_in_use_refuses_re_entry(example):
    errors = []

    def reenter():
        for call in (lambda: example.n_nodes, example.solve):
            try:
                call()
            except RuntimeError as error:
                errors.append(str(error))

    assert len(example.solve_batch(Scenarios([[(0, 0.0, 0.0)]], on_item=reenter))) == 1
    assert errors == ["Already mutably borrowed", "Already borrowed"]
    example.solve()
    assert example.n_nodes == len(example.voltage_mag())
