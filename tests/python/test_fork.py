import multiprocessing
import os
import pickle
import signal
import sys
import time
import traceback

import pytest

from quillmere import PowerFlowModel

from conftest import ENDLESS, EXAMPLE, UNDER_ASAN, solve_and_batch, two_nodes

# Python 3.12 and later warn of fork in a process with threads, which is what is tested here.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")

# The model a fork-context worker inherits from the test that starts the pool.
INHERITED = None


def exit_in_child(work, out):
    """In a forked child: writes what work() returns to `out` and exits, 0 when it returned."""
    code = 1
    try:
        out.write_bytes(pickle.dumps(work()))
        code = 0
    except BaseException:
        traceback.print_exc()
    finally:
        os._exit(code)


def child_result(pid, out, timeout=60):
    """What the child `pid` wrote with exit_in_child; fails when the child failed, and kills it
    when it has not ended after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if ended[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child did not end")
    assert os.waitstatus_to_exitcode(ended[1]) == 0
    return pickle.loads(out.read_bytes())


def in_child(work, out):
    """Runs work() in a forked child and returns what it returned (see child_result)."""
    pid = os.fork()
    if pid == 0:
        exit_in_child(work, out)
    return child_result(pid, out)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("solves", [False, True])
def test_a_forked_child_solves_batches_and_drops_the_model(tmp_path, solves):
    model = PowerFlowModel.from_pgm_json(str(EXAMPLE))
    expected = solve_and_batch(model, [0.5, 1.5])  # the child inherits this pool of 2
    tasks = set(os.listdir("/proc/self/task"))

    def child():
        nonlocal model
        got = []
        if solves:  # on the inherited pool's count, then on another
            got = [solve_and_batch(model, [0.5, 1.5]),
                   model.solve_batch_scaled([1.0], threads=3)[0].converged]
        refs = sys.getrefcount(model)
        del model  # the last reference, so the model goes with its pools
        return got, refs, len(os.listdir("/proc/self/task"))

    assert in_child(child, tmp_path / "out") == ([expected, True] if solves else [], 2, 1)
    assert set(os.listdir("/proc/self/task")) == tasks
    assert solve_and_batch(model, [0.5, 1.5]) == expected


def solve_inherited(scale):
    return solve_and_batch(INHERITED, [scale])


def test_fork_context_pool_workers_solve_and_batch_on_an_inherited_model(example, monkeypatch):
    example.solve_batch_scaled([1.0], threads=2)
    monkeypatch.setattr(sys.modules[__name__], "INHERITED", example)
    scales = [0.5, 1.0, 1.5, 1.0]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        got = pool.map_async(solve_inherited, scales).get(timeout=60)
    assert got == [solve_and_batch(example, [s]) for s in scales]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator does not hold its locks over a "
                    "fork: a worker allocating at that moment leaves the child's next allocation "
                    "waiting for ever")
def test_a_child_forked_by_a_signal_handler_mid_batch_ends_that_batch_only(write_network, tmp_path):
    # The handler runs while the batch waits for its workers; the child returns from it into the
    # batch, whose workers it does not have. The parent's endless batch ends at its own Ctrl-C.
    path = write_network(two_nodes(1e5))
    model = PowerFlowModel.from_pgm_json(path, max_iter=ENDLESS)
    child = []

    def handler(signum, frame):
        if child:
            raise KeyboardInterrupt
        pid = os.fork()
        if pid:
            child.append(pid)
            signal.setitimer(signal.ITIMER_REAL, 0.2)

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        model.solve_batch_scaled([1e4] * 160, threads=2)
    except BaseException as error:
        raised = error
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    if not child:
        exit_in_child(lambda: (type(raised).__name__, str(raised),
                               model.solve_batch_scaled([1e-3], threads=2)[0].converged),
                      tmp_path / "out")
    assert child_result(child[0], tmp_path / "out", timeout=30) == (
        "RuntimeError", "the batch was started before a fork: this process, forked while it ran, "
        "has none of its workers", True)
    assert isinstance(raised, KeyboardInterrupt)
    fresh = PowerFlowModel.from_pgm_json(path, max_iter=ENDLESS)
    assert solve_and_batch(model, [1e-3]) == solve_and_batch(fresh, [1e-3])
