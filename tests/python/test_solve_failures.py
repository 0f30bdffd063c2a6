import re

import pytest

from quillmere import PowerFlowModel

from conftest import line, load, network, source


def two_feeders():
    """Two islands, each fed by its own source: nodes 1-2 and 3-4 (buses 0..3), then the slack
    buses 4 and 5 of the two sources."""
    return network([1, 2, 3, 4], [line(10, 1, 2), line(11, 3, 4)],
                   [source(20, 1), source(21, 3)], [load(30, 2, 3e5, 1e5), load(31, 4, 2e5, 0)])


def test_zero_iterations_names_the_first_component(write_network):
    model = PowerFlowModel.from_pgm_json(write_network(two_feeders()), max_iter=0)
    with pytest.raises(RuntimeError) as info:
        model.solve()
    assert str(info.value) == ("power flow did not converge within 0 iterations "
                               "(component with buses [0, 1, 4])")


def test_iteration_limit_message_and_last_iterate(write_network):
    heavy = network([1, 2, 3], [line(10, 1, 2, r=5.0, x=10.0), line(11, 2, 3, r=5.0, x=10.0)],
                    [source(20, 1)], [load(30, 3, 4e6, 2e6)])
    model = PowerFlowModel.from_pgm_json(write_network(heavy), max_iter=2, tol=1e-14)
    loaded = model.voltage_mag()
    with pytest.raises(RuntimeError, match=re.escape(
            "power flow did not converge within 2 iterations (component with buses [0, 1, 2, 3])")):
        model.solve()
    assert model.voltage_mag() != loaded
    assert model.voltage_mag() != model.initial_guess()[0]


def test_zero_iterations_pass_when_the_start_already_meets_tol(write_network):
    # no load: the linear initial guess is the exact solution
    idle = network([1, 2], [line(10, 1, 2)], [source(20, 1)])
    model = PowerFlowModel.from_pgm_json(write_network(idle), max_iter=0, tol=1e-9)
    assert model.solve() is None


def test_sourceless_component_is_no_error(write_network):
    document = network([1, 2, 3, 4], [line(10, 1, 2), line(11, 3, 4)], [source(20, 1)],
                       [load(30, 2, 1e5, 0), load(31, 4, 1e5, 2e4)])
    model = PowerFlowModel.from_pgm_json(write_network(document))
    assert model.solve() is None
    vm, va = model.voltage_mag(), model.voltage_ang()
    assert vm[2:4] == [0.0, 0.0] and va[2:4] == [0.0, 0.0]
    assert vm[0] > 0.9
    kinds, p, _ = model.bus_spec()
    assert kinds[2:4] == [2, 2] and p[3] == pytest.approx(-0.1)


def test_model_solves_again_after_a_failure(write_network):
    path = write_network(two_feeders())
    failing = PowerFlowModel.from_pgm_json(path, max_iter=0)
    with pytest.raises(RuntimeError):
        failing.solve()
    with pytest.raises(RuntimeError):
        failing.solve()
    good = PowerFlowModel.from_pgm_json(path)
    good.solve()
    assert good.voltage_mag()[1] < 1.0


@pytest.mark.parametrize("backend", ["block", "klu_native"])
def test_other_backends_solve_or_refuse_clearly(feeder, backend, capfd):
    reference = PowerFlowModel.from_pgm_json(feeder)
    reference.solve()
    model = PowerFlowModel.from_pgm_json(feeder, backend=backend)
    try:
        model.solve()
    except BaseException as error:  # a backend that is not built in yet stops the call
        assert type(error).__name__ == "PanicException" and str(error)
        assert str(error) in capfd.readouterr().err  # also reported on standard error
        model.voltage_mag()  # the borrow was released
        return
    assert model.voltage_mag() == pytest.approx(reference.voltage_mag(), abs=1e-9)
