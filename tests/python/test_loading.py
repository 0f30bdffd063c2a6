import json

import pytest

from quillmere import PowerFlowModel

from conftest import line, network, source

UNKNOWN = ("unknown backend '{}', expected 'scalar', 'block', 'klu', 'klu_native', or "
           "'pardiso'")


@pytest.mark.parametrize("backend", ["scalar", "block", "klu_native"])
def test_known_backends_load(example, backend):
    from conftest import EXAMPLE
    model = PowerFlowModel.from_pgm_json(str(EXAMPLE), backend=backend)
    assert model.n_nodes == example.n_nodes


@pytest.mark.parametrize("backend", ["KLU_NATIVE", "Scalar", "scalar ", "", "lu"])
def test_unknown_backend_names(feeder, backend):
    with pytest.raises(ValueError) as info:
        PowerFlowModel.from_pgm_json(feeder, backend=backend)
    assert str(info.value) == UNKNOWN.format(backend)


@pytest.mark.parametrize("backend", ["klu", "pardiso"])
def test_unavailable_backends_are_refused(feeder, backend):
    with pytest.raises(ValueError) as info:
        PowerFlowModel.from_pgm_json(feeder, backend=backend)
    message = str(info.value)
    assert f"'{backend}' backend" in message and "\n" not in message
    assert "unknown" not in message


def test_file_errors_come_before_the_backend_name(tmp_path, write_network):
    missing = str(tmp_path / "missing.json")
    with pytest.raises(RuntimeError, match=f"^reading {missing}: "):
        PowerFlowModel.from_pgm_json(missing, backend="KLU_NATIVE")
    broken = write_network("{\"data\": ")
    with pytest.raises(ValueError, match=f"^parsing {broken} as PGM JSON: "):
        PowerFlowModel.from_pgm_json(broken, backend="KLU_NATIVE")


@pytest.mark.parametrize("text, fragment", [
    ("", "EOF while parsing a value"),
    ("[]", "invalid length 0"),
    ('{"data": {"node": [{"id": 1}], "source": []}}', "missing field `u_rated`"),
    ('{"data": {"node": [], "source": [], "line": null}}', "expected a sequence"),
])
def test_parse_errors(write_network, text, fragment):
    path = write_network(text)
    with pytest.raises(ValueError) as info:
        PowerFlowModel.from_pgm_json(path)
    assert str(info.value).startswith(f"parsing {path} as PGM JSON: ")
    assert fragment in str(info.value)


@pytest.mark.parametrize("document", [
    network([1, 2], [line(10, 1, 3)], [source(20, 1)]),
    network([1, 1], [], [source(20, 1)]),
    network([1], [], [source(20, 7)]),
])
def test_reference_errors_are_value_errors(write_network, document):
    with pytest.raises(ValueError):
        PowerFlowModel.from_pgm_json(write_network(document))


def test_directory_is_a_read_error(tmp_path):
    with pytest.raises(RuntimeError, match="^reading "):
        PowerFlowModel.from_pgm_json(str(tmp_path))


def test_units_reach_the_model(write_network):
    document = network([1, 2], [line(10, 1, 2)], [source(20, 1)],
                       [{"id": 30, "node": 2, "status": 1, "p_specified": 2e6,
                         "q_specified": 1e6}])
    path = write_network(json.dumps(document))
    _, p, q = PowerFlowModel.from_pgm_json(path, s_base_va=2e6).bus_spec()
    assert p[1] == pytest.approx(-1.0) and q[1] == pytest.approx(-0.5)
