import inspect

import pytest

import quillmere
from quillmere import BatchResult, PowerFlowModel, _quillmere

# The method table in its order, with the signatures its docstrings declare.
SIGNATURES = {
    "from_pgm_json": "(path, backend='scalar', tol=1e-06, max_iter=20, s_base_va=1000000.0, "
                     "freq_hz=50.0)",
    "bus_index_for_mrid": "(self, /, mrid)",
    "solve": "(self, /)",
    "reset": "(self, /)",
    "solve_batch": "(self, /, scenarios, threads=None)",
    "solve_batch_scaled": "(self, /, scales, threads=None)",
    "default_threads": "()",
    "ybus_triplets": "(self, /)",
    "bus_spec": "(self, /)",
    "initial_guess": "(self, /)",
    "zip_term_counts": "(self, /)",
    "voltage_mag": "(self, /)",
    "voltage_ang": "(self, /)",
    "voltage_kv": "(self, /)",
}
STATIC = ("from_pgm_json", "default_threads")


def test_module_exports_exactly_the_two_classes_in_order():
    assert _quillmere.__all__ == quillmere.__all__ == ["PowerFlowModel", "BatchResult"]
    assert [n for n in vars(_quillmere) if not n.startswith("__")] == _quillmere.__all__


@pytest.mark.parametrize("cls", [PowerFlowModel, BatchResult])
def test_classes_are_final_and_not_instantiable(cls):
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
        cls()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)


def test_method_table_order_and_text_signatures(example):
    table = vars(PowerFlowModel)
    assert [n for n in table if not n.startswith("__")] == [*SIGNATURES, "n_nodes"]
    for name, signature in SIGNATURES.items():
        assert isinstance(table[name], staticmethod) == (name in STATIC)
        assert str(inspect.signature(getattr(PowerFlowModel, name))) == signature
        if name not in STATIC:
            bound = signature.replace("self, /", "").replace("(, ", "(")
            assert str(inspect.signature(getattr(example, name))) == bound
    with pytest.raises(AttributeError):
        example.n_nodes = 3
