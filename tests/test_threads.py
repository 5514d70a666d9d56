"""Several threads and interpreters using the module at once: no crash, and
the same results as one thread alone."""

import json
import subprocess
import sys
import textwrap
import threading

import pytest

from vorda._vorda import asset, inspect_modules, materialize_asset, partitions

THREADS = 8
ROUNDS = 25

ASSETS = """\
from vorda import asset, partitions

@asset()
def raw() -> list:
    return [1, 2, 3]

@asset(name="n", inputs={"data": raw}, partitions={"d": partitions(["a", 1, 2.5, None])})
def produce(data: list, scale: int = 2) -> dict:
    return {"scaled": [x * scale for x in data], "text": "é"}

@asset()
def broken():
    raise ValueError("broken on purpose")
"""


def target(a=1, b=2):
    return a * 10 + b


@pytest.fixture
def fast_switching():
    """Make the interpreter switch threads as often as it can."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def run_threads(work, count=THREADS):
    """Run work(index) on `count` threads released together; re-raise the first failure."""
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    if errors:
        raise errors[0]


class TestHammer:
    def test_all_functions_at_once_give_single_thread_results(self, moddir, tmp_path, fd2, fast_switching):
        moddir.write("hammer.assets", ASSETS)
        import hammer.assets as module

        shared_parts = partitions(["x", {"k": [1, 2]}, 3])
        shared = asset(name="shared", inputs={"up": module.raw}, partitions={"p": shared_parts})(target)
        shared_values = ["a", 1.5, None, [True, {"z": "é"}]]

        def one_round(out):
            """Every public operation once; returns what a caller can observe."""
            results = {
                "metadata": shared.__vorda_metadata__,
                "call": shared(3, b=4),
                "names": (shared.__name__, shared.__qualname__, shared.__doc__, shared.__vorda_original__),
                "declared": asset(name="d", inputs={"up": module.produce, "t": "x:y"}, partitions={"p": shared_parts})(
                    target
                ).__vorda_metadata__,
                "partitions": asset(partitions={"v": partitions(shared_values)})(target).__vorda_metadata__,
                "report": inspect_modules(["hammer.assets", "hammer_missing", "hammer.assets"]),
            }
            materialize_asset("hammer.assets", "produce", str(out / "ok"), '{"data": [1, 2], "scale": 3}')
            with pytest.raises(SystemExit):
                materialize_asset("hammer.assets", "broken", str(out / "failed"))
            for run in ("ok", "failed"):
                results[run] = [(out / run / name).read_bytes() for name in ("value.json", "result.json")
                                if (out / run / name).exists()]
            return results

        with fd2() as err:
            expected = one_round(tmp_path / "single")
            assert expected["call"] == 34
            assert [r["function_name"] for r in json.loads(expected["report"])["assets"]] == ["broken", "produce", "raw"] * 2
            assert expected["ok"][0] == b'{"scaled": [3, 6], "text": "\\u00e9"}'
            assert json.loads(expected["failed"][0])["error"] == "ValueError: broken on purpose"
            outcomes = [[] for _ in range(THREADS)]

            def work(index):
                for _ in range(ROUNDS):
                    outcomes[index].append(one_round(tmp_path / f"t{index}"))

            run_threads(work)

        for index, thread_outcomes in enumerate(outcomes):
            assert len(thread_outcomes) == ROUNDS
            # Only value_path differs between output directories.
            own, single = (str(tmp_path / name).encode() for name in (f"t{index}", "single"))
            for outcome in thread_outcomes:
                for run in ("ok", "failed"):
                    outcome[run] = [text.replace(own, single) for text in outcome[run]]
                assert outcome.keys() == expected.keys()
                for key in expected:
                    assert outcome[key] == expected[key], key
        # The skip lines are whole lines, one per call.
        line = "vorda: skipping module 'hammer_missing': ModuleNotFoundError: No module named 'hammer_missing'"
        assert err.text.splitlines() == [line] * (1 + THREADS * ROUNDS)


class TestSharedObjectsChangedByOtherThreads:
    def test_list_changed_while_partitions_walks_it(self, fast_switching):
        values = list(range(50))
        stop = threading.Event()

        class Slow(dict):
            """Runs Python code inside json.dumps, so other threads get the lock."""

            def items(self):
                sum(range(200))
                return super().items()

        values[::5] = [Slow(k=i) for i in range(10)]

        def mutate():
            while not stop.is_set():
                values.append(Slow(k=0))
                del values[:3]
                values.extend(range(3))
                values.reverse()
                if len(values) > 200:
                    del values[100:]

        counts = []

        def work(index):
            if index == 0:
                mutate()
                return
            try:
                for _ in range(200):
                    text = repr(partitions(values))
                    counts.append(int(text.split("(")[1].split()[0]))
            finally:
                stop.set()

        run_threads(work)
        assert len(counts) == 200 * (THREADS - 1)
        # The list never holds more than 202 elements.
        assert all(0 <= n <= 202 for n in counts)

    def test_dict_changed_while_asset_walks_it(self, fast_switching):
        upstream = asset()(target)
        inputs = {f"k{i}": upstream for i in range(20)}
        stop = threading.Event()
        outcomes = set()

        def work(index):
            if index == 0:
                i = 0
                while not stop.is_set():
                    inputs[f"new{i % 7}"] = "x:y"
                    inputs.pop(f"new{(i + 3) % 7}", None)
                    i += 1
                return
            try:
                for _ in range(40):
                    try:
                        asset(inputs=inputs)
                        outcomes.add("ok")
                    except BaseException as error:
                        if type(error).__name__ != "InternalFailure":
                            raise
                        outcomes.add(str(error))
            finally:
                stop.set()

        run_threads(work)
        assert outcomes <= {
            "ok",
            "dictionary changed size during iteration",
            "dictionary keys changed during iteration",
        }

    def test_wrapper_chains_released_on_several_threads(self, fast_switching):
        shared = asset(name="s")(target)

        def work(index):
            for _ in range(5):
                w = shared
                for _ in range(5_000):
                    w = asset()(w)
                assert w.__vorda_original__.__vorda_original__ is not None
                with pytest.raises(RecursionError):
                    w()
                del w
                assert shared(1) == 12

        run_threads(work)
        assert shared.__vorda_metadata__["name"] == "s"


def run_python(code, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


CONCURRENT_IMPORT = """
import glob
import importlib.util
import os
import sys
import threading

# The extension's file, found without importing the package (which would
# import the extension here first).
package = importlib.util.find_spec("vorda").submodule_search_locations[0]
(path,) = glob.glob(os.path.join(package, "_vorda*.so"))
spec = importlib.util.spec_from_file_location("vorda._vorda", path)

sys.setswitchinterval(1e-6)
count = 8
barrier = threading.Barrier(count)
modules = [None] * count
errors = []

def load(index):
    try:
        barrier.wait()
        if index % 2:
            import vorda._vorda as module
        else:
            # Past the import system's per-module lock, straight to the
            # extension loader.
            module = importlib.util.module_from_spec(spec)
        modules[index] = module
        module.asset()(len)
    except BaseException as error:
        errors.append(error)

threads = [threading.Thread(target=load, args=(i,)) for i in range(count)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not errors, errors
first = modules[0]
assert all(m is first for m in modules), [id(m) for m in modules]
assert first is sys.modules["vorda._vorda"]
assert first.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]
print("same module")
"""


def test_concurrent_first_imports_make_one_module():
    for _ in range(3):
        assert run_python(CONCURRENT_IMPORT) == "same module\n"


SUBINTERPRETERS = """
import threading
import time
import _xxsubinterpreters as interpreters
import vorda._vorda as native

ATTEMPT = '''
import sys
for attempt in range(3):
    try:
        import vorda._vorda
    except ImportError as error:
        assert "sub-interpreters" in str(error), error
    else:
        raise AssertionError("imported in a second interpreter")
    assert "vorda._vorda" not in sys.modules
'''

def main_still_works():
    w = native.asset(name="x", partitions={"d": native.partitions([1, "a"])})(len)
    assert w("abc") == 3
    assert w.__vorda_metadata__["partitions"]["d"]["values_json"] == '[1,"a"]'
    assert native.inspect_modules([]) == '{"assets":[]}'

for _ in range(3):
    interp = interpreters.create()
    interpreters.run_string(interp, ATTEMPT)
    interpreters.run_string(interp, ATTEMPT)
    main_still_works()
    interpreters.destroy(interp)
    main_still_works()

# A sub-interpreter run on another thread while this one keeps calling. In
# 3.11 a thread of another interpreter waiting for the lock cannot ask a busy
# thread of this one to drop it: it only gets it when this thread blocks, so
# this thread sleeps between calls (and creates the interpreter itself).
errors = []
done = threading.Event()
main_working = threading.Event()
interp = interpreters.create()

def in_thread():
    try:
        main_working.wait()
        for _ in range(20):
            interpreters.run_string(interp, ATTEMPT)
    except BaseException as error:
        errors.append(error)
    finally:
        done.set()

thread = threading.Thread(target=in_thread)
thread.start()
while not done.is_set():
    main_still_works()
    main_working.set()
    time.sleep(0.001)
thread.join()
interpreters.destroy(interp)
assert not errors, errors
main_still_works()
print("refused")
"""

OWNED_BY_SUBINTERPRETER = """
import _xxsubinterpreters as interpreters

interp = interpreters.create()
interpreters.run_string(interp, "import vorda._vorda as m\\nassert m.asset()(len)('ab') == 2")
for _ in range(2):
    try:
        import vorda._vorda
    except ImportError as error:
        assert "sub-interpreters" in str(error), error
    else:
        raise AssertionError("the first interpreter to import owns the module")
interpreters.destroy(interp)
print("main refused")
"""


class TestInterpreters:
    def test_refused_sub_interpreters_leave_the_first_working(self):
        pytest.importorskip("_xxsubinterpreters")
        assert run_python(SUBINTERPRETERS) == "refused\n"

    def test_the_first_interpreter_to_import_owns_the_module(self):
        pytest.importorskip("_xxsubinterpreters")
        assert run_python(OWNED_BY_SUBINTERPRETER) == "main refused\n"


# At exit the 3.11 interpreter ends daemon threads that still run Python code
# by unwinding their stacks (pthread_exit), through any vorda call on them.
DAEMON_AT_EXIT = """
import sys
import threading
from vorda._vorda import asset, inspect_modules, materialize_asset, partitions

started = threading.Event()

def spin(*args, **kwargs):
    started.set()
    while True:
        pass

class Spinning(dict):
    def items(self):
        spin()

class SpinningDel:
    def __del__(self):
        spin()

def released():
    w = asset()(SpinningDel())
    del w

module = type(sys)("daemon_assets")
module.run = spin
sys.modules["daemon_assets"] = module
case = sys.argv[1]
body = {
    "wrapper call": lambda: asset()(spin)(),
    "wrapper around a callable": lambda: asset()(type("C", (), {"__call__": spin})())(),
    "json.dumps callback": lambda: partitions([Spinning(a=1)]),
    "wrapper release": released,
    "inputs marker": lambda: asset(inputs={"x": type("K", (), {"__vorda_kind__": property(spin)})()}),
    "materialize": lambda: materialize_asset("daemon_assets", "run", sys.argv[2]),
}[case]
threading.Thread(target=body, daemon=True).start()
started.wait()
print("exiting")
"""


@pytest.mark.parametrize(
    "case",
    ["wrapper call", "wrapper around a callable", "json.dumps callback", "wrapper release", "inputs marker", "materialize"],
)
def test_daemon_thread_inside_a_call_at_exit(case, tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", DAEMON_AT_EXIT, case, str(tmp_path / "out")], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "exiting\n"
