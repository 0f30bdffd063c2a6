import contextlib
import faulthandler
import os
import signal
import subprocess
import sys
import time

import pytest

from quillmere import PowerFlowModel

from conftest import ENDLESS, EXAMPLE, solve_and_batch, two_nodes

BACKENDS = ["scalar", "block", "klu_native"]


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


# A load waiting on its input, run in a child process that reports when its KeyboardInterrupt came
# and how many more descriptors it then had open.
INTERRUPTED_LOAD = r"""
import os, sys, time
from quillmere import PowerFlowModel
fds = len(os.listdir("/proc/self/fd"))
print("loading", flush=True)
try:
    PowerFlowModel.from_pgm_json(sys.argv[1])
except KeyboardInterrupt:
    print(time.monotonic(), len(os.listdir("/proc/self/fd")) - fds, flush=True)
"""


def ctrl_c_during_load(path, after, feed=lambda: None):
    """Starts loading `path` in a child process, calls feed(), and `after` seconds later sends the
    child SIGINT as a terminal would. Gives the seconds from the signal to the child's
    KeyboardInterrupt and how many more descriptors it then held; a child still loading 10 s after
    the signal is killed and fails the test."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_LOAD, path], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "loading\n"
        feed()
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out = child.communicate(timeout=10)[0]
    except subprocess.TimeoutExpired:
        pytest.fail(f"loading {path} went on after SIGINT")
    finally:
        child.kill()
        child.wait()
    assert out, "the load did not end with KeyboardInterrupt"
    raised_at, more_fds = out.split()
    return float(raised_at) - sent, int(more_fds)


@pytest.mark.parametrize("written", [None, b'{"version": "1.0", "da'])
def test_ctrl_c_ends_a_load_waiting_on_a_pipe_with_no_writer_or_a_stalled_one(tmp_path, written):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with contextlib.ExitStack() as writer:
        def stall():
            if written is not None:  # opening waits for the reader
                fd = os.open(fifo, os.O_WRONLY)
                writer.callback(os.close, fd)
                os.write(fd, written)

        latency, more_fds = ctrl_c_during_load(fifo, 0.3, stall)
    assert (latency < 2, more_fds) == (True, 0)


def test_ctrl_c_ends_a_load_from_a_device_without_end():
    latency, more_fds = ctrl_c_during_load("/dev/zero", 0.1)
    assert (latency < 2, more_fds) == (True, 0)


def test_a_pipe_whose_writer_delivers_loads_though_signals_interrupt_its_reads(tmp_path):
    # The writer is another process: the load holds the interpreter lock while it reads. A signal
    # whose handler does not raise interrupts the reads every few milliseconds, and reading goes on.
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    text = EXAMPLE.read_bytes()
    writer = subprocess.Popen([sys.executable, "-c",
                               "import sys, time; out = open(sys.argv[1], 'wb', buffering=0); "
                               "text = sys.stdin.buffer.read(); out.write(text[:40]); "
                               "time.sleep(0.3); out.write(text[40:])", fifo],
                              stdin=subprocess.PIPE)
    writer.stdin.write(text)
    writer.stdin.close()
    faulthandler.dump_traceback_later(60, exit=True)
    interrupts = []
    old = signal.signal(signal.SIGALRM, lambda *_: interrupts.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        model = PowerFlowModel.from_pgm_json(fifo)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        faulthandler.cancel_dump_traceback_later()
        writer.wait(10)
    assert len(interrupts) > 5
    assert solve_and_batch(model, [1.0]) == \
        solve_and_batch(PowerFlowModel.from_pgm_json(str(EXAMPLE)), [1.0])
