import pytest

from quillmere import PowerFlowModel

pytestmark = pytest.mark.skipif(not hasattr(PowerFlowModel, "solve_batch"),
                                reason="the batch methods are not in this build")


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

    def __iter__(self):
        yield self[0]


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
