import contextlib
import faulthandler
import signal
import time

import pytest

from quillmere import PowerFlowModel

from conftest import line, load, network, solve_and_batch, source

BACKENDS = ["scalar", "block", "klu_native"]
ENDLESS = 2**64 - 1  # max_iter


def two_nodes(p):
    """Node 1 feeds a load of p + jp/4 W at node 2 (bus 1) over one line; 1e9 W is far beyond
    what the line carries, so Newton never converges and, without a pass limit, never ends."""
    return network([1, 2], [line(10, 1, 2)], [source(20, 1)], [load(30, 2, p, p / 4)])


def ctrl_c(signum, frame):
    """Passes the alarm on as SIGINT to the main thread, as Ctrl-C would arrive."""
    signal.raise_signal(signal.SIGINT)


@contextlib.contextmanager
def alarm(handler=ctrl_c, raises=KeyboardInterrupt, after=0.2):
    """Runs `handler` on SIGALRM `after` seconds into the block, which must then raise `raises`
    within 2 s. The timer is the kernel's: a Python thread could not send anything while the call
    holds the interpreter lock. Should the block never return, the process ends with its
    traceback after a minute rather than hang."""
    faulthandler.dump_traceback_later(60, exit=True)
    old = signal.signal(signal.SIGALRM, handler), signal.signal(signal.SIGINT,
                                                                signal.default_int_handler)
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        with pytest.raises(raises):
            yield
        assert time.monotonic() - start < after + 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old[0])
        signal.signal(signal.SIGINT, old[1])
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("backend", BACKENDS)
def test_ctrl_c_ends_an_endless_solve_and_the_model_solves_on(write_network, backend):
    path = write_network(two_nodes(1e9))
    model = PowerFlowModel.from_pgm_json(path, backend=backend, max_iter=ENDLESS)
    with alarm():
        model.solve()
    # scaled down the load is carried, and the model answers as a fresh one does (that the
    # interrupted solve leaves the solver's caches as a fresh solver's the engine tests check)
    fresh = PowerFlowModel.from_pgm_json(path, backend=backend, max_iter=ENDLESS)
    assert [(r.voltage_mag, r.iterations) for r in model.solve_batch_scaled([1e-3, 2e-3], 2)] == \
        [(r.voltage_mag, r.iterations) for r in fresh.solve_batch_scaled([1e-3, 2e-3], 2)]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("method", ["solve_batch", "solve_batch_scaled"])
def test_ctrl_c_ends_an_endless_batch_and_the_model_solves_as_a_fresh_one(write_network, backend,
                                                                          method):
    path = write_network(two_nodes(1e5))
    model = PowerFlowModel.from_pgm_json(path, backend=backend, max_iter=ENDLESS)
    endless = {"solve_batch": [[(1, -1e3, -2.5e2)]] * 160, "solve_batch_scaled": [1e4] * 160}
    with alarm():
        getattr(model, method)(endless[method], threads=2)
    fresh = PowerFlowModel.from_pgm_json(path, backend=backend, max_iter=ENDLESS)
    assert solve_and_batch(model, [1.0, 3.0]) == solve_and_batch(fresh, [1.0, 3.0])


def test_a_raising_handler_of_another_signal_ends_the_solve_with_its_exception(write_network):
    class Raised(Exception):
        pass

    def handler(signum, frame):
        raise Raised(signum)

    model = PowerFlowModel.from_pgm_json(write_network(two_nodes(1e9)), max_iter=ENDLESS)
    with alarm(handler, Raised):
        model.solve()
