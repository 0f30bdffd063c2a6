import gc
import sys
import threading

import pytest

from quillmere import PowerFlowModel


def run_in_thread(function):
    outcome = {}

    def body():
        try:
            outcome["value"] = function()
        except BaseException as error:  # noqa: B902 - PanicException is no Exception
            outcome["error"] = error

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return outcome


@pytest.mark.parametrize("call", [
    lambda m: m.solve(), lambda m: m.reset(), lambda m: m.voltage_mag(), lambda m: m.n_nodes,
    lambda m: m.bus_index_for_mrid("x"),
])
def test_use_from_another_thread_panics(example, call, capfd):
    outcome = run_in_thread(lambda: call(example))
    error = outcome["error"]
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "pyo3_runtime"
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    lines = str(error).split("\n")
    assert lines[0] == ("assertion `left == right` failed: quillmere::python::PowerFlowModel is "
                        "unsendable, but sent to another thread")
    assert lines[1].startswith("  left: ThreadId(") and lines[2].startswith(" right: ThreadId(")
    assert lines[1] != lines[2].replace(" right", "  left")
    assert "unsendable" in capfd.readouterr().err
    example.solve()
    assert len(example.voltage_mag()) == example.n_nodes


def test_panic_exception_type_is_created_once(example):
    first = run_in_thread(example.solve)["error"]
    second = run_in_thread(example.voltage_ang)["error"]
    assert type(first) is type(second)
    with pytest.raises(BaseException) as info:
        try:
            raise first
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert info.value is first


def test_argument_errors_come_before_the_thread_check(example):
    error = run_in_thread(lambda: example.bus_index_for_mrid())["error"]
    assert isinstance(error, TypeError)


def test_static_methods_work_from_any_thread(feeder):
    outcome = run_in_thread(lambda: type(PowerFlowModel.from_pgm_json(feeder)))
    assert outcome["value"] is PowerFlowModel
    assert isinstance(run_in_thread(PowerFlowModel.default_threads)["value"], int)


def test_model_made_on_a_thread_belongs_to_it(feeder):
    made = run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder))["value"]
    with pytest.raises(BaseException, match="sent to another thread"):
        made.solve()
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        del made
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert str(seen[0].exc_value) == ("quillmere::python::PowerFlowModel is unsendable, but is "
                                      "being dropped on another thread")


def test_release_on_its_own_thread_is_silent(feeder):
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        run_in_thread(lambda: PowerFlowModel.from_pgm_json(feeder).solve())
    finally:
        sys.unraisablehook = old_hook
    assert seen == []
