import inspect
import shutil
import subprocess

import pytest

import quillmere
from quillmere import BatchResult, PowerFlowModel, _quillmere

from conftest import EXAMPLE, UNDER_ASAN, line, network, source

M = PowerFlowModel
PATH = str(EXAMPLE)

# The methods with the signatures their docstrings declare.
SIGNATURES = {
    "from_pgm_json": "(path, backend='scalar', tol=1e-06, max_iter=20, s_base_va=1000000.0, "
                     "freq_hz=50.0)",
    "bus_index_for_mrid": "(self, /, mrid)", "solve": "(self, /)", "reset": "(self, /)",
    "solve_batch": "(self, /, scenarios, threads=None)",
    "solve_batch_scaled": "(self, /, scales, threads=None)", "default_threads": "()",
    **dict.fromkeys(["ybus_triplets", "bus_spec", "initial_guess", "zip_term_counts",
                     "voltage_mag", "voltage_ang", "voltage_kv"], "(self, /)"),
}
STATIC = ("from_pgm_json", "default_threads")


@pytest.mark.parametrize("cls", [PowerFlowModel, BatchResult])
def test_module_exports_two_final_classes_that_cannot_be_instantiated(cls):
    assert _quillmere.__all__ == quillmere.__all__ == ["PowerFlowModel", "BatchResult"]
    assert [n for n in vars(_quillmere) if not n.startswith("__")] == _quillmere.__all__
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
        cls()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)


def test_text_signatures(example):
    table = vars(PowerFlowModel)
    for name, signature in SIGNATURES.items():
        assert isinstance(table[name], staticmethod) == (name in STATIC)
        assert str(inspect.signature(getattr(PowerFlowModel, name))) == signature
        if name not in STATIC:
            bound = signature.replace("self, /", "").replace("(, ", "(")
            assert str(inspect.signature(getattr(example, name))) == bound


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("from_pgm_json", (), {}, "missing 1 required positional argument: 'path'"),
    ("from_pgm_json", ("a",) * 7, {}, "takes from 1 to 6 positional arguments but 7 were given"),
    ("from_pgm_json", ("a",), {"path": "b"}, "got multiple values for argument 'path'"),
    ("bus_index_for_mrid", ("a", "b"), {}, "takes 1 positional argument but 2 were given"),
    ("bus_index_for_mrid", (), {"id": "a"}, "got an unexpected keyword argument 'id'"),
    ("solve_batch", (), {}, "missing 1 required positional argument: 'scenarios'"),
    ("solve_batch_scaled", ([],), {"scales": []}, "got multiple values for argument 'scales'"),
    ("solve", (1,), {}, "takes no arguments (1 given)"),
    ("default_threads", (1,), {}, "takes no arguments (1 given)"),
])
def test_argument_list_errors(example, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(example, name)(*args, **kwargs)
    assert str(info.value) == f"PowerFlowModel.{name}() {message}"
    assert not getattr(info.value, "__notes__", None)


def load_with(**kwargs):
    return lambda m: M.from_pgm_json(**{"path": PATH, **kwargs})


def batch(scenarios):  # threads=-1 would fail as well: the scenarios are converted first
    return lambda m: m.solve_batch(scenarios, -1)


S = "scenarios"


# Each row: the call, the error, a fragment of its message, the parameter the note names. The
# first parameter to fail in order is the one reported.
@pytest.mark.parametrize("call, error, fragment, parameter", [
    (load_with(path=b"network.json"), TypeError, "", "path"),
    (load_with(path="\ud800"), UnicodeEncodeError, "", "path"),
    (load_with(path=None, backend=None, max_iter=-1), TypeError, "", "path"),
    (load_with(backend=None), TypeError, "", "backend"),
    (load_with(tol="1e-6"), TypeError, "", "tol"),
    (load_with(max_iter=2**64), OverflowError, "", "max_iter"),
    (load_with(s_base_va=[]), TypeError, "", "s_base_va"),
    (load_with(freq_hz=None), TypeError, "", "freq_hz"),
    (lambda m: m.bus_index_for_mrid(5), TypeError, "", "mrid"),
    (batch("abc"), TypeError, "Can't extract `str` to `Vec`", S),
    (batch({0: []}), TypeError, "'dict' object cannot be converted to 'Sequence'", S),
    (batch([[(0, 1.0)]]), ValueError, "expected tuple of length 3, but got tuple of length 2", S),
    (batch([[[0, 1.0, 2.0]]]), TypeError, "'list' object cannot be converted to 'PyTuple'", S),
    (batch([[(-1, 0.0, 0.0)]]), OverflowError, "can't convert negative int to unsigned", S),
    (batch([[(1.0, 0.0, 0.0)]]), TypeError, "cannot be interpreted as an integer", S),
    (lambda m: m.solve_batch_scaled([1.0, "x"], "x"), TypeError, "", "scales"),
    (lambda m: m.solve_batch([[]], -1), OverflowError, "", "threads"),
])
def test_conversion_failures_carry_the_parameter_note(example, call, error, fragment, parameter):
    with pytest.raises(error) as info:
        call(example)
    assert type(info.value) is error and fragment in str(info.value)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_accepted_conversions(example):
    floaty = type("Floaty", (), {"__float__": lambda _: 1e-8})
    indexy = type("Indexy", (), {"__index__": lambda _: 3})
    for kwargs in [{"tol": 1, "max_iter": 2**64 - 1}, {"tol": floaty(), "max_iter": indexy()},
                   {"s_base_va": indexy(), "freq_hz": 60, "path": type("P", (str,), {})(PATH)}]:
        assert load_with(**kwargs)(None).n_nodes == example.n_nodes


UNKNOWN = "unknown backend '{}', expected 'scalar', 'block', 'klu', 'klu_native', or 'pardiso'"
REFUSED = "the '{}' backend needs an optional component that was not enabled when "


@pytest.mark.parametrize("backend", ["klu", "pardiso", "KLU_NATIVE", "scalar ", "scalar\0", ""])
def test_refused_backend_names(backend):
    with pytest.raises(ValueError) as info:
        M.from_pgm_json(PATH, backend=backend)
    message = REFUSED if backend in ("klu", "pardiso") else UNKNOWN
    assert str(info.value).startswith(message.format(backend))


# The file is read before the backend name is looked at, so a bad name never hides these. Each row:
# the file's content (None: no such file, "\0": a readable file's path followed by a NUL byte) and
# how the error's message begins.
@pytest.mark.parametrize("content, message", [
    (None, "reading {path}: "),
    ("\0", "reading {path}: path contains a NUL byte"),
    ("", "parsing {path} as PGM JSON: EOF while parsing a value"),
    (network([1, 2], [line(10, 1, 3)], [source(20, 1)]), "line 10: to_node 3 is not a node id"),
])
def test_file_parse_and_reference_errors(tmp_path, write_network, content, message):
    special = {None: str(tmp_path / "missing.json"), "\0": PATH + "\0"}
    path = special[content] if content in (None, "\0") else write_network(content)
    with pytest.raises(RuntimeError if message.startswith("reading") else ValueError) as info:
        M.from_pgm_json(path, backend="KLU_NATIVE")
    assert str(info.value).startswith(message.format(path=path))


@pytest.mark.skipif(UNDER_ASAN or not shutil.which("ldd"),
                    reason="the sanitizer build links its runtime; needs ldd")
def test_the_extension_needs_only_the_c_and_cxx_runtimes():
    # The README's set-up names these as all the module needs at run time.
    run = subprocess.run(["ldd", _quillmere.__file__], capture_output=True, text=True, check=True)
    needed = {line.split()[0].split(".so")[0] for line in run.stdout.splitlines() if line.strip()}
    assert needed <= {"linux-vdso", "libstdc++", "libm", "libgcc_s", "libc",
                      "/lib64/ld-linux-x86-64"}, run.stdout
