"""`vorda run --executor forks|dask` against the default processes."""

import json
import logging
import os
import signal
import subprocess
import time

import pytest

from test_run import PIPE, SLOW, Project, gone

FAILING = """
import os
from vorda import asset

@asset()
def bad():
    raise ValueError("no data")

@asset(inputs={"bad": bad})
def after_bad(bad):
    return bad

@asset()
def exits():
    os._exit(3)
"""


# Values of another format reach their readers by reference, under every executor.
REFS = """
from vorda import asset, partitions

@asset(serializer="pickle", partitions={"k": partitions([1, 2])})
def kept(k):
    return {k, k + 10}

@asset(inputs={"kept": kept})
def summed(kept):
    return [[e["partition"], sum(e["value"])] for e in kept]

@asset(inputs={"kept": kept}, partitions={"k": partitions([1, 2])})
def one(kept, k):
    return sorted(kept)
"""


def normalised(summary, store):
    """The summary without timings and run id, paths relative to the store."""
    jobs = []
    for job in summary["jobs"]:
        job = dict(job, seconds=None)
        if job["value_path"]:
            job["value_path"] = os.path.relpath(job["value_path"], store)
        jobs.append(job)
    return summary["status"], jobs


def stored(store):
    """Every file under assets/, records with their value path made relative."""
    files = {}
    for path in sorted((store / "assets").rglob("*.json")):
        data = path.read_bytes()
        if path.name == "result.json":
            record = json.loads(data)
            if "value_path" in record:
                record["value_path"] = os.path.relpath(record["value_path"], store)
            data = record
        files[str(path.relative_to(store))] = data
    return files


def test_three_executors_give_the_same_run(tmp_path):
    project = Project(tmp_path)
    project.write("pipe", PIPE)
    project.write("failing", FAILING)
    project.write("refs", REFS)
    results = {}
    for executor in ("processes", "forks", "dask"):
        store = tmp_path / executor
        done = project.run("run", "--json", "-j", "2", "--store", str(store), "--executor", executor,
                           "pipe", "failing", "refs", check=1)
        assert "instead" not in done.stderr  # no fallback
        # The failed job's log holds the worker's line, naming its record in the store.
        log = next((store / "logs").rglob("*failing.bad.log")).read_text().replace(str(store), "STORE")
        results[executor] = normalised(json.loads(done.stdout), store), stored(store), log
    assert results["forks"] == results["processes"]
    assert results["dask"] == results["processes"]
    (status, jobs), _, log = results["dask"]
    assert "python -m vorda.worker: error: asset failing:bad failed; see STORE/assets/failing/bad/result.json: ValueError" in log
    assert [j["status"] for j in jobs].count("ok") == 11 and status == "failed"
    assert json.loads((tmp_path / "dask/assets/refs/summed/value.json").read_text()) == [[{"k": 1}, 12], [{"k": 2}, 14]]
    assert json.loads((tmp_path / "forks/assets/refs/one/k=2/value.json").read_text()) == [2, 12]

    # What dask wrote is trusted by the others: all that was ok is up to date.
    done = project.run("run", "--json", "--store", str(tmp_path / "dask"), "--executor", "forks",
                       "pipe", "failing", "refs", check=1)
    after = {(j["asset"], json.dumps(j["partition"])): j["status"] for j in json.loads(done.stdout)["jobs"]}
    before = {(j["asset"], json.dumps(j["partition"])): j["status"] for j in jobs}
    assert after == {k: "up-to-date" if s == "ok" else s for k, s in before.items()}


@pytest.mark.parametrize("executor, why", [("forks", "--executor forks: "),
                                           ("dask", "--executor dask: on a Dask worker, ")])
def test_forks_fall_back_when_an_import_starts_a_thread(tmp_path, executor, why):
    project = Project(tmp_path)
    project.write("threaded", """
        import threading, time
        from vorda import asset

        threading.Thread(target=time.sleep, args=(60,), daemon=True).start()

        @asset()
        def value():
            return sum(t.name != "vorda-lifeline" for t in threading.enumerate())

        @asset()
        def other():
            return 1
    """)
    done = project.run("run", "--json", "-j", "1", "--executor", executor, "threaded", check=0)
    assert why + "importing threaded started 1 thread(s)" in done.stderr
    assert done.stderr.count("running each job in a fresh process instead") == 1  # said once, not per job
    # A fresh process: the job's own import started the thread again.
    assert project.value("threaded", "value") == 2


def interrupted(tmp_path, args, started, sig=signal.SIGINT):
    """Run the slow pipeline with `args`, send `sig` once `started` (all or
    any) of its two jobs wrote their pid files; its jobs' statuses, and
    the pid files."""
    project = Project(tmp_path)
    # Dask runs a job in a temporary directory: the pid files go by full path.
    project.write("slow", SLOW.format(seconds=60).replace("open(name", f"open({str(tmp_path)!r} + '/' + name"))
    argv, kw = project.command("run", "--json", *args, "slow")
    runner = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    pid_files = [tmp_path / "one.pids", tmp_path / "two.pids"]
    deadline = time.monotonic() + 120
    while not started(p.exists() and p.read_text() for p in pid_files):
        assert runner.poll() is None and time.monotonic() < deadline, runner.stderr.read()
        time.sleep(0.05)
    runner.send_signal(sig)
    out, err = runner.communicate(timeout=60)
    assert runner.returncode == 130 and "Traceback" not in err, err
    return sorted(j["status"] for j in json.loads(out)["jobs"]), pid_files


@pytest.mark.parametrize("executor", ["forks", "dask"])
def test_interrupt_ends_the_jobs(tmp_path, executor):
    # A hang-up is an interruption like Ctrl-C.
    statuses, pid_files = interrupted(tmp_path, ["-j", "2", "--executor", executor], all,
                                      signal.SIGHUP if executor == "forks" else signal.SIGINT)
    assert statuses == ["interrupted", "interrupted"]
    pids = [int(pid) for p in pid_files for pid in p.read_text().split()]
    deadline = time.monotonic() + 10
    while not all(gone(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert all(gone(pid) for pid in pids)


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes on loopback; a task that loses its worker is not retried."""
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None, silence_logs=logging.CRITICAL) as local:
            yield local.scheduler_address


def test_dask_cluster_loses_a_worker_and_ships_path_folders(tmp_path, cluster):
    # The modules live in a --path folder outside the runner's directory:
    # the tasks get them shipped, not from the working directory.
    project = Project(tmp_path / "work")
    code = Project(tmp_path / "code")
    code.write("lib.pipe", PIPE)
    code.write("lib.killer", """
        import os, signal
        from vorda import asset

        def parent(pid):
            return int(open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[1])

        @asset()
        def kills_its_worker():
            pid = os.getpid()  # up to the Dask worker process, this test's child
            while parent(pid) != TEST_PID:
                pid = parent(pid)
            os.kill(pid, signal.SIGKILL)

        @asset()
        def kills_its_fork_server():
            os.kill(os.getppid(), signal.SIGKILL)

        @asset(inputs={"dead": kills_its_worker})
        def after(dead):
            return dead

        @asset()
        def healthy():
            return "fine"
    """.replace("TEST_PID", str(os.getpid())))
    (tmp_path / "work").mkdir()
    done = project.run("run", "--json", "--executor", "dask", "--scheduler", cluster, "-j", "2",
                       "--path", str(tmp_path / "code"), "lib.pipe", "lib.killer", check=1)
    jobs = {j["asset"]: j for j in json.loads(done.stdout)["jobs"]}
    assert jobs["lib.killer:kills_its_worker"]["status"] == "failed"
    assert "KilledWorker" in jobs["lib.killer:kills_its_worker"]["error"]
    assert jobs["lib.killer:after"]["status"] == "skipped"
    # The worker outlives its fork server; the next batches there get a fresh one.
    assert "the fork server ended while the job ran" in jobs["lib.killer:kills_its_fork_server"]["error"]
    assert jobs["lib.killer:healthy"]["status"] == "ok" and jobs["lib.pipe:every"]["status"] == "ok"
    assert project.value("lib.pipe", "same", "region=south") == ["south", {"region": "south", "n": 20}]

    # Past the shipping limit: a clear error, nothing run.
    big = tmp_path / "big"
    big.mkdir()
    (big / "data.bin").write_bytes(b"\0" * (17 << 20))
    done = project.run("run", "--executor", "dask", "--scheduler", cluster, "--path", str(tmp_path / "code"),
                       "--path", str(big), "lib.pipe", check=2)
    assert f"--path {big}: more than 16 MB" in done.stderr and "same environment image" in done.stderr


def test_dask_batch_ends_each_job_alone(tmp_path, cluster):
    # One worker, four jobs in one task: a failure, a retry and a timeout
    # there are each job's own, and so is the time the history records.
    project = Project(tmp_path)
    project.write("batch", """
        import time
        from vorda import asset

        @asset()
        def a_fine():
            return "a"

        @asset()
        def b_bad():
            raise ValueError("no data")

        @asset()
        def c_slow():
            time.sleep(60)

        @asset()
        def d_after_the_slow_one():
            return "d"
    """)
    done = project.run("run", "--json", "--executor", "dask", "--scheduler", cluster, "-j", "1", "--batch", "4",
                       "--timeout", "2", "--retries", "1", "batch", check=1)
    jobs = {j["asset"].split(":")[1]: j for j in json.loads(done.stdout)["jobs"]}
    assert {name: (j["status"], j["attempts"]) for name, j in jobs.items()} == {
        "a_fine": ("ok", 1), "b_bad": ("failed", 2), "c_slow": ("failed", 1), "d_after_the_slow_one": ("ok", 1)}
    assert "ValueError: no data" in jobs["b_bad"]["error"]
    assert jobs["c_slow"]["error"] == "timed out after 2 s"
    # It waited behind the slow one for its timeout, which was not its own time.
    assert jobs["d_after_the_slow_one"]["seconds"] < 1.5
    assert project.value("batch", "d_after_the_slow_one") == "d"

    done = project.run("run", "--executor", "processes", "--batch", "2", "batch", check=2)
    assert "--batch is for --executor dask" in done.stderr


def test_forks_stay_forks_with_the_data_stack_imported_at_the_top(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    project = Project(tmp_path)
    project.write("stack", """
        import os
        import numpy, pandas, pyarrow
        from vorda import asset

        @asset()
        def frame_rows():
            # The thread limits were the fork server's own: the job's environment is the runner's.
            return [len(pandas.DataFrame({"a": [1, 2]})), os.environ.get("JE_ARROW_MALLOC_CONF")]
    """)
    done = project.run("run", "--json", "--executor", "forks", "stack", check=0)
    assert "instead" not in done.stderr, done.stderr
    assert project.value("stack", "frame_rows") == [2, os.environ.get("JE_ARROW_MALLOC_CONF")]


LEAVES = """
import os, subprocess, time
from vorda import asset

@asset()
def leaves():
    # Still running in the job's process group when the job ends.
    return subprocess.Popen(["sleep", "60"]).pid

@asset(inputs={"pid": leaves})
def after(pid):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] in "ZX":
                    return "gone"
        except (FileNotFoundError, ProcessLookupError):
            return "gone"
        time.sleep(0.02)
    return "still running"
"""


@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_what_a_job_leaves_in_its_group_ends_as_the_job_ends(tmp_path, executor):
    # While the run goes on, not at its end (where the runner ends what is left).
    project = Project(tmp_path)
    project.write("leaves", LEAVES)
    project.run("run", "--executor", executor, "leaves")
    assert project.value("leaves", "after") == "gone"


QUEUED = """
import time
from vorda import asset

@asset()
def first():
    time.sleep(1.5)
    return 1

@asset()
def second():
    time.sleep(1.5)
    return 2
"""


def test_a_job_waiting_in_the_fork_server_is_timed_from_its_own_start(tmp_path):
    # With -j 1 the second job waits in the server while the first runs.
    project = Project(tmp_path)
    project.write("queued", QUEUED)
    jobs, _ = project.run_json("--executor", "forks", "-j", "1", "--timeout", "2.5", "queued")
    assert {job["status"] for job in jobs.values()} == {"ok"}
    assert all(1.5 <= job["seconds"] < 2.5 for job in jobs.values())


@pytest.mark.parametrize("executor", [["--executor", "forks"], ["--executor", "dask", "--batch", "2"]])
def test_interrupt_leaves_a_job_waiting_behind_another_not_run(tmp_path, executor):
    statuses, pid_files = interrupted(tmp_path, ["-j", "1", *executor], any)
    assert statuses == ["interrupted", "not-run"]
    assert sum(p.exists() for p in pid_files) == 1


SERVERS = """
import os, signal, time
from vorda import asset, partitions

@asset()
def slow():
    time.sleep(3)
    return time.time()

@asset(partitions={"k": partitions(["x" * 5000, "y"])})  # a request too big for one pipe record
def quick(k):
    return [len(k), time.time()]
"""


def test_fork_servers_share_one_queue_and_end_together(tmp_path, monkeypatch):
    # -j 2: a server per job slot; no job waits behind the other server's long one.
    project = Project(tmp_path)
    project.write("servers", SERVERS)
    # What a killed runner left of its big requests goes; the run leaves nothing.
    scratch = tmp_path / "scratch"
    dead = subprocess.Popen(["true"])
    dead.wait()
    (scratch / f"vorda-forks-{dead.pid}-left").mkdir(parents=True)
    monkeypatch.setenv("TMPDIR", str(scratch))
    jobs, _ = project.run_json("--executor", "forks", "-j", "2", "servers")
    assert {job["status"] for job in jobs.values()} == {"ok"}
    length, ended = project.value("servers", "quick", "k=y")
    assert length == 1 and ended < project.value("servers", "slow")
    assert not list(scratch.iterdir())

    # One server killed: the run still ends, each job with what became of it.
    project.write("dies", """
        import os, signal, time
        from vorda import asset, partitions

        @asset()
        def kills_its_server():
            time.sleep(0.5)
            os.kill(os.getppid(), signal.SIGKILL)

        @asset(partitions={"i": partitions(list(range(8)))})
        def other(i):
            time.sleep(0.2)
            return i
    """)
    jobs, _ = project.run_json("--executor", "forks", "-j", "2", "dies", check=1)
    errors = {job["error"] for job in jobs.values() if job["status"] == "failed"}
    assert jobs["dies:kills_its_server", "null"]["error"] == "the fork server ended while the job ran"
    assert {job["status"] for job in jobs.values()} <= {"ok", "failed"}
    assert errors <= {"the fork server ended while the job ran", "the fork server ended before the job started",
                      "the fork server has ended"}


def test_a_fork_server_that_cannot_be_given_its_pipes_leaves_no_descriptor(monkeypatch):
    from vorda.run.executors.forks import ForkExecutor

    made = []
    real_pipe = os.pipe

    def pipe():
        if len(made) == 3:  # the first server's reply pipe
            raise OSError(24, "Too many open files")
        made.append(real_pipe())
        return made[-1]

    before = set(os.listdir("/proc/self/fd"))
    monkeypatch.setattr(os, "pipe", pipe)
    with pytest.raises(OSError, match="Too many open files"):
        ForkExecutor(2, [], dict(os.environ))
    monkeypatch.undo()
    assert set(os.listdir("/proc/self/fd")) == before


def test_dask_batch_mates_a_paused_runner_kept_from_starting_still_run(tmp_path, cluster):
    # Paused (Ctrl-Z) past the heartbeat's patience, the runner is taken for
    # gone: the running job ends, and its batch-mates never start. Once the
    # runner goes on, they are sent again, not failed.
    project = Project(tmp_path)
    project.write("paused", f"""
        import time
        from vorda import asset

        @asset()
        def a_first():
            open({str(tmp_path / "started")!r}, "w").close()
            time.sleep(30)

        @asset()
        def b_second():
            return "b"

        @asset()
        def c_third():
            return "c"
    """)
    argv, kw = project.command("run", "--json", "--executor", "dask", "--scheduler", cluster, "-j", "1",
                               "--batch", "3", "paused")
    runner = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    try:
        deadline = time.monotonic() + 60
        while not (tmp_path / "started").exists():
            assert time.monotonic() < deadline and runner.poll() is None, runner.communicate()
            time.sleep(0.05)
        runner.send_signal(signal.SIGSTOP)
        time.sleep(12)  # well beyond DASK_BEAT_TIMEOUT
        runner.send_signal(signal.SIGCONT)
        out, err = runner.communicate(timeout=120)
    finally:
        runner.kill()
    jobs = {j["asset"].split(":")[1]: j["status"] for j in json.loads(out)["jobs"]}
    assert jobs == {"a_first": "failed", "b_second": "ok", "c_third": "ok"}, err
