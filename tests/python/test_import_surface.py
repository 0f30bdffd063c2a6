import inspect

import pytest

import quillmere
from quillmere import BatchResult, PowerFlowModel, _quillmere

from conftest import EXAMPLE

SIGNATURES = {
    "from_pgm_json": "(path, backend='scalar', tol=1e-06, max_iter=20, s_base_va=1000000.0, "
                     "freq_hz=50.0)",
    "bus_index_for_mrid": "(self, /, mrid)",
    "solve": "(self, /)",
    "reset": "(self, /)",
    "default_threads": "()",
    "ybus_triplets": "(self, /)",
    "bus_spec": "(self, /)",
    "initial_guess": "(self, /)",
    "zip_term_counts": "(self, /)",
    "voltage_mag": "(self, /)",
    "voltage_ang": "(self, /)",
    "voltage_kv": "(self, /)",
}


def test_module_exports_exactly_the_two_classes_in_order():
    assert _quillmere.__all__ == ["PowerFlowModel", "BatchResult"]
    assert quillmere.__all__ == ["PowerFlowModel", "BatchResult"]
    public = [name for name in vars(_quillmere) if not name.startswith("__")]
    assert public == ["PowerFlowModel", "BatchResult"]
    assert "quillmere" in _quillmere.__doc__


@pytest.mark.parametrize("cls, name", [(PowerFlowModel, "PowerFlowModel"),
                                       (BatchResult, "BatchResult")])
def test_class_names_and_flags(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__doc__
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{name}' instances"):
        cls()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0


def test_model_instance_has_no_dict_or_weakref(example):
    import weakref
    with pytest.raises(AttributeError):
        example.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(example)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    method = getattr(PowerFlowModel, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__.strip()
    if name not in ("from_pgm_json", "default_threads"):
        bound = getattr(PowerFlowModel.from_pgm_json(str(EXAMPLE)), name)
        assert str(inspect.signature(bound)) == signature.replace("self, /", "").replace(
            "(, ", "(")


def test_method_table_order_and_static_methods():
    names = [n for n in vars(PowerFlowModel) if not n.startswith("__")]
    single = [n for n in names if n not in ("solve_batch", "solve_batch_scaled")]
    assert single == ["from_pgm_json", "bus_index_for_mrid", "solve", "reset", "default_threads",
                      "ybus_triplets", "bus_spec", "initial_guess", "zip_term_counts",
                      "voltage_mag", "voltage_ang", "voltage_kv", "n_nodes"]
    assert isinstance(vars(PowerFlowModel)["from_pgm_json"], staticmethod)
    assert isinstance(vars(PowerFlowModel)["default_threads"], staticmethod)
    assert isinstance(PowerFlowModel.default_threads(), int)


def test_n_nodes_is_a_read_only_property(example):
    assert "slack bus" in PowerFlowModel.n_nodes.__doc__
    with pytest.raises(AttributeError):
        example.n_nodes = 3


def test_batch_result_getters_are_read_only_with_their_docstrings():
    docs = {name: getattr(BatchResult, name).__doc__
            for name in ("voltage_mag", "voltage_ang", "iterations", "converged", "max_mismatch")}
    assert docs == {
        "voltage_mag": "Per-bus voltage magnitude in per-unit, in node order.",
        "voltage_ang": "Per-bus voltage angle in radians, in node order.",
        "iterations": "Newton iterations this scenario used.",
        "converged": None,
        "max_mismatch": "Max |mismatch| at the final iteration.",
    }
    for name in docs:
        assert type(getattr(BatchResult, name)).__name__ == "getset_descriptor"
