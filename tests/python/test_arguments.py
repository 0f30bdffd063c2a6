import pytest

from quillmere import PowerFlowModel

LOAD = "PowerFlowModel.from_pgm_json()"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{LOAD} missing 1 required positional argument: 'path'"),
    (("a", "scalar", 1e-6, 20, 1e6, 50.0, 7), {},
     f"{LOAD} takes from 1 to 6 positional arguments but 7 were given"),
    (("a",), {"path": "b"}, f"{LOAD} got multiple values for argument 'path'"),
    (("a",), {"tolerance": 1e-6}, f"{LOAD} got an unexpected keyword argument 'tolerance'"),
    ((), {"backend": "scalar"}, f"{LOAD} missing 1 required positional argument: 'path'"),
])
def test_argument_list_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PowerFlowModel.from_pgm_json(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


class Floaty:
    def __float__(self):
        return 1e-8


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("kwargs, error, parameter", [
    ({"path": None}, TypeError, "path"),
    ({"path": b"network.json"}, TypeError, "path"),
    ({"path": "\ud800"}, UnicodeEncodeError, "path"),
    ({"backend": None}, TypeError, "backend"),
    ({"tol": None}, TypeError, "tol"),
    ({"tol": "1e-6"}, TypeError, "tol"),
    ({"max_iter": -1}, OverflowError, "max_iter"),
    ({"max_iter": 2**64}, OverflowError, "max_iter"),
    ({"max_iter": 2.0}, TypeError, "max_iter"),
    ({"s_base_va": []}, TypeError, "s_base_va"),
    ({"freq_hz": None}, TypeError, "freq_hz"),
])
def test_conversion_failures_carry_the_parameter_note(feeder, kwargs, error, parameter):
    arguments = {"path": feeder, **kwargs}
    with pytest.raises(error) as info:
        PowerFlowModel.from_pgm_json(**arguments)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_first_failing_parameter_in_order_is_reported():
    with pytest.raises(TypeError) as info:
        PowerFlowModel.from_pgm_json(None, backend=None, max_iter=-1)
    assert info.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize("kwargs", [
    {"max_iter": 0}, {"tol": 1}, {"tol": Floaty()}, {"max_iter": Indexy()},
    {"max_iter": 2**64 - 1}, {"s_base_va": Indexy(), "freq_hz": 60},
])
def test_accepted_conversions(feeder, kwargs):
    model = PowerFlowModel.from_pgm_json(feeder, **kwargs)
    assert model.n_nodes == 4


def test_str_subclass_path_is_accepted(feeder):
    class Path(str):
        pass
    assert PowerFlowModel.from_pgm_json(Path(feeder)).n_nodes == 4


def test_mrid_binding_and_conversion(example):
    assert example.bus_index_for_mrid("bus-1") is None
    assert example.bus_index_for_mrid(mrid="") is None
    with pytest.raises(TypeError) as info:
        example.bus_index_for_mrid(5)
    assert info.value.__notes__ == ["while processing 'mrid'"]
    with pytest.raises(TypeError, match=r"^PowerFlowModel.bus_index_for_mrid\(\) missing 1 "
                                        r"required positional argument: 'mrid'$"):
        example.bus_index_for_mrid()
    with pytest.raises(TypeError, match=r"^PowerFlowModel.bus_index_for_mrid\(\) takes 1 "
                                        r"positional argument but 2 were given$"):
        example.bus_index_for_mrid("a", "b")
    with pytest.raises(TypeError, match="unexpected keyword argument 'id'"):
        example.bus_index_for_mrid(id="a")


@pytest.mark.parametrize("name", ["solve", "reset", "voltage_mag", "bus_spec", "ybus_triplets"])
def test_methods_without_arguments_refuse_them(example, name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(example, name)(1)
    with pytest.raises(TypeError, match="takes no arguments"):
        PowerFlowModel.default_threads(1)
