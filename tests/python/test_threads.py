import gc
import sys

import pytest

from quillmere import PowerFlowModel

from conftest import Scenarios, run_in_thread

UNSENDABLE = ("assertion `left == right` failed: quillmere::python::PowerFlowModel is unsendable, "
              "but sent to another thread")


# Argument binding comes before the owner-thread check.
@pytest.mark.parametrize("call, kind", [
    (lambda m: m.solve(), "PanicException"),
    (lambda m: m.reset(), "PanicException"),
    (lambda m: m.voltage_mag(), "PanicException"),
    (lambda m: m.n_nodes, "PanicException"),
    (lambda m: m.bus_index_for_mrid("x"), "PanicException"),
    (lambda m: m.solve_batch([[]]), "PanicException"),
    (lambda m: m.bus_index_for_mrid(), "TypeError"),
    (lambda m: m.solve_batch_scaled(), "TypeError"),
])
def test_use_from_another_thread(example, call, kind, capfd):
    error = run_in_thread(lambda: call(example))
    assert type(error).__name__ == kind
    if kind == "PanicException":
        assert type(error).__module__ == "pyo3_runtime" and not isinstance(error, Exception)
        first, left, right = str(error).split("\n")
        assert first == UNSENDABLE
        assert left.startswith("  left: ThreadId(") and right.startswith(" right: ThreadId(")
        assert left[8:] != right[8:]
        assert "unsendable" in capfd.readouterr().err  # also reported on standard error
        assert type(run_in_thread(example.reset)) is type(error)  # one class only
    example.solve()
    assert len(example.voltage_mag()) == example.n_nodes


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


@pytest.mark.parametrize("call, message", [
    (lambda m: m.n_nodes, "Already mutably borrowed"),
    (lambda m: m.voltage_mag(), "Already mutably borrowed"),
    (lambda m: m.solve(), "Already borrowed"),
    (lambda m: m.reset(), "Already borrowed"),
])
def test_model_in_use_refuses_re_entry(example, call, message):
    errors = []

    def reenter():
        try:
            call(example)
        except RuntimeError as error:
            errors.append(str(error))

    assert len(example.solve_batch(Scenarios([[(0, 0.0, 0.0)]], on_item=reenter))) == 1
    assert errors == [message]
    example.solve()
    assert example.n_nodes == len(example.voltage_mag())
