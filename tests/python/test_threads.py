import gc
import sys

import pytest

from quillmere import PowerFlowModel

from conftest import results, run_in_thread

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
    error = run_in_thread(lambda: call(example))["error"]
    assert type(error).__name__ == kind
    if kind == "PanicException":
        assert type(error).__module__ == "pyo3_runtime" and not isinstance(error, Exception)
        first, left, right = str(error).split("\n")
        assert first == UNSENDABLE
        assert left.startswith("  left: ThreadId(") and right.startswith(" right: ThreadId(")
        assert left[8:] != right[8:]
        assert "unsendable" in capfd.readouterr().err  # also reported on standard error
    example.solve()
    assert len(example.voltage_mag()) == example.n_nodes


def test_panic_exception_type_is_created_once(example):
    first = run_in_thread(example.solve)["error"]
    assert type(run_in_thread(example.voltage_ang)["error"]) is type(first)


def test_static_methods_and_batch_results_work_from_any_thread(example, feeder):
    made = run_in_thread(lambda: type(PowerFlowModel.from_pgm_json(feeder)))
    assert made["value"] is PowerFlowModel
    assert isinstance(run_in_thread(PowerFlowModel.default_threads)["value"], int)
    batch = example.solve_batch([[], [(11, -1.0, 0.0)]])
    assert run_in_thread(lambda: results(batch))["value"] == results(batch)


def test_model_belongs_to_the_thread_that_made_it(feeder):
    seen = []
    old_hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder).solve())  # released there
        made = run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder))["value"]
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


class Reentrant:
    """A scenario list whose item access calls back into the model being solved."""

    def __init__(self, model, call):
        self.model, self.call, self.errors = model, call, []

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index > 0:
            raise IndexError(index)
        try:
            self.call(self.model)
        except RuntimeError as error:
            self.errors.append(str(error))
        return [(0, 0.0, 0.0)]


@pytest.mark.parametrize("call, message", [
    (lambda m: m.n_nodes, "Already mutably borrowed"),
    (lambda m: m.voltage_mag(), "Already mutably borrowed"),
    (lambda m: m.solve(), "Already borrowed"),
    (lambda m: m.reset(), "Already borrowed"),
])
def test_model_in_use_refuses_re_entry(example, call, message):
    scenarios = Reentrant(example, call)
    try:
        example.solve_batch(scenarios)
    except (RuntimeError, ValueError, TypeError):
        pass
    assert scenarios.errors == [message]
    example.solve()
    assert example.n_nodes == len(example.voltage_mag())
