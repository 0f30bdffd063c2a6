import pytest

from quillmere import PowerFlowModel as M

from conftest import EXAMPLE

PATH = str(EXAMPLE)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("from_pgm_json", (), {}, "missing 1 required positional argument: 'path'"),
    ("from_pgm_json", ("a",) * 7, {}, "takes from 1 to 6 positional arguments but 7 were given"),
    ("from_pgm_json", ("a",), {"path": "b"}, "got multiple values for argument 'path'"),
    ("from_pgm_json", ("a",), {"tolerance": 1}, "got an unexpected keyword argument 'tolerance'"),
    ("bus_index_for_mrid", (), {}, "missing 1 required positional argument: 'mrid'"),
    ("bus_index_for_mrid", ("a", "b"), {}, "takes 1 positional argument but 2 were given"),
    ("bus_index_for_mrid", (), {"id": "a"}, "got an unexpected keyword argument 'id'"),
    ("solve_batch", (), {}, "missing 1 required positional argument: 'scenarios'"),
    ("solve_batch", ([], 1, 2), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ("solve_batch_scaled", ([],), {"scales": []}, "got multiple values for argument 'scales'"),
    ("solve", (1,), {}, "takes no arguments (1 given)"),
    ("default_threads", (1,), {}, "takes no arguments (1 given)"),
])
def test_argument_list_errors(example, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(example, name)(*args, **kwargs)
    assert str(info.value) == f"PowerFlowModel.{name}() {message}"
    assert not getattr(info.value, "__notes__", None)


def load(**kwargs):
    return lambda m: M.from_pgm_json(**{"path": PATH, **kwargs})


def batch(scenarios):  # threads=-1 would fail as well: the scenarios are converted first
    return lambda m: m.solve_batch(scenarios, -1)


def scaled(scales):
    return lambda m: m.solve_batch_scaled(scales, "x")


NOT_SEQUENCE = "object cannot be converted to 'Sequence'"


# Each row: the call, the error, a fragment of its message, the parameter the note names. The
# first parameter to fail in order is the one reported.
@pytest.mark.parametrize("call, error, fragment, parameter", [
    (load(path=b"network.json"), TypeError, "", "path"),
    (load(path="\ud800"), UnicodeEncodeError, "", "path"),
    (load(path=None, backend=None, max_iter=-1), TypeError, "", "path"),
    (load(backend=None), TypeError, "", "backend"),
    (load(tol="1e-6"), TypeError, "", "tol"),
    (load(max_iter=-1), OverflowError, "", "max_iter"),
    (load(max_iter=2**64), OverflowError, "", "max_iter"),
    (load(max_iter=2.0), TypeError, "", "max_iter"),
    (load(s_base_va=[]), TypeError, "", "s_base_va"),
    (load(freq_hz=None), TypeError, "", "freq_hz"),
    (lambda m: m.bus_index_for_mrid(5), TypeError, "", "mrid"),
    (batch("abc"), TypeError, "Can't extract `str` to `Vec`", "scenarios"),
    (batch({0: []}), TypeError, f"'dict' {NOT_SEQUENCE}", "scenarios"),
    (batch(s for s in [[]]), TypeError, f"'generator' {NOT_SEQUENCE}", "scenarios"),
    (batch([[(0, 1.0)]]), ValueError, "expected tuple of length 3, but got tuple of length 2",
     "scenarios"),
    (batch([[[0, 1.0, 2.0]]]), TypeError, "'list' object cannot be converted to 'PyTuple'",
     "scenarios"),
    (batch([[(-1, 0.0, 0.0)]]), OverflowError, "can't convert negative int to unsigned",
     "scenarios"),
    (batch([[(1.0, 0.0, 0.0)]]), TypeError, "'float' object cannot be interpreted as an integer",
     "scenarios"),
    (batch([[(0, "x", 0.0)]]), TypeError, "", "scenarios"),
    (batch([[(0, 0.0, 0.0)], [(0, 1.0)], "abc"]), ValueError, "got tuple of length 2", "scenarios"),
    (scaled("abc"), TypeError, "Can't extract `str` to `Vec`", "scales"),
    (scaled(1.0), TypeError, f"'float' {NOT_SEQUENCE}", "scales"),
    (scaled([1.0, "x"]), TypeError, "", "scales"),
    (lambda m: m.solve_batch([[]], -1), OverflowError, "", "threads"),
    (lambda m: m.solve_batch_scaled([1.0], threads=1.5), TypeError, "", "threads"),
])
def test_conversion_failures_carry_the_parameter_note(example, call, error, fragment, parameter):
    with pytest.raises(error) as info:
        call(example)
    assert type(info.value) is error and fragment in str(info.value)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


Floaty = type("Floaty", (), {"__float__": lambda self: 1e-8})
Indexy = type("Indexy", (), {"__index__": lambda self: 3})


@pytest.mark.parametrize("kwargs", [
    {"max_iter": 0}, {"tol": 1}, {"tol": Floaty()}, {"max_iter": Indexy()},
    {"max_iter": 2**64 - 1}, {"s_base_va": Indexy(), "freq_hz": 60},
    {"path": type("StrPath", (str,), {})(PATH)},
])
def test_accepted_conversions(example, kwargs):
    assert load(**kwargs)(None).n_nodes == example.n_nodes
