import pytest

from quillmere import PowerFlowModel

from conftest import EXAMPLE, line, load, network, source

UNKNOWN = ("unknown backend '{}', expected 'scalar', 'block', 'klu', 'klu_native', or "
           "'pardiso'")
REFUSED = "the '{}' backend needs an optional component that was not enabled when "


@pytest.mark.parametrize("backend, message", [
    ("scalar", None), ("block", None), ("klu_native", None),
    ("klu", REFUSED), ("pardiso", REFUSED),
    *[(name, UNKNOWN) for name in ["KLU_NATIVE", "Scalar", "scalar ", "", "lu"]],
])
def test_backend_names(backend, message):
    if message is None:
        assert PowerFlowModel.from_pgm_json(str(EXAMPLE), backend=backend).n_nodes == 29
        return
    with pytest.raises(ValueError) as info:
        PowerFlowModel.from_pgm_json(str(EXAMPLE), backend=backend)
    assert str(info.value).startswith(message.format(backend))


# Each row: the file's text (None: no such file, "/": a directory), the error and the fragment its
# message holds after the "reading {path}: " or "parsing {path} as PGM JSON: " prefix. The file is
# read before the backend name is looked at, so a bad name never hides these.
@pytest.mark.parametrize("text, error, fragment", [
    (None, RuntimeError, ""),
    ("/", RuntimeError, ""),
    ("", ValueError, "EOF while parsing a value"),
    ("{\"data\": ", ValueError, ""),
    ("[]", ValueError, "invalid length 0"),
    ('{"data": {"node": [{"id": 1}], "source": []}}', ValueError, "missing field `u_rated`"),
    ('{"data": {"node": [], "source": [], "line": null}}', ValueError, "expected a sequence"),
])
def test_file_and_parse_errors(tmp_path, write_network, text, error, fragment):
    path = {None: str(tmp_path / "missing.json"), "/": str(tmp_path)}.get(text)
    path = path or write_network(text)
    with pytest.raises(error) as info:
        PowerFlowModel.from_pgm_json(path, backend="KLU_NATIVE")
    prefix = f"reading {path}: " if error is RuntimeError else f"parsing {path} as PGM JSON: "
    assert str(info.value).startswith(prefix) and fragment in str(info.value)


@pytest.mark.parametrize("document, message", [
    (network([1, 2], [line(10, 1, 3)], [source(20, 1)]), "line 10: to_node 3 is not a node id"),
    (network([1, 1], [], [source(20, 1)]), "node id 1 appears twice"),
    (network([1], [], [source(20, 7)]), "source 20: node 7 is not a node id"),
])
def test_reference_errors_are_value_errors(write_network, document, message):
    with pytest.raises(ValueError) as info:
        PowerFlowModel.from_pgm_json(write_network(document))
    assert str(info.value) == message


def test_units_reach_the_model(write_network):
    loaded = network([1, 2], [line(10, 1, 2)], [source(20, 1)], [load(30, 2, 2e6, 1e6)])
    _, p, q = PowerFlowModel.from_pgm_json(write_network(loaded), s_base_va=2e6).bus_spec()
    assert (p[1], q[1]) == pytest.approx((-1.0, -0.5))
