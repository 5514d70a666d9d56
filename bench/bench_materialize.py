"""materialize_asset beside the floor of json.dumps + Path.write_text of
the same value, for a 1 KB and a 10 MB value, in interleaved rounds.

Two more rows replay in Python what a run does on disk (a temporary file
per output, renamed over its name), with and without the fsync calls; their
difference is the cost of flushing to disk per run. The asset function
returns a prebuilt value, so every row pays the same json.dumps.

    python bench/bench_materialize.py [--quick]

bench/run_bench.py (`make bench`) prints these rows in its table.
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import sys
import tempfile

from bench_python import interleaved, print_rows

from vorda._vorda import materialize_asset

MODULE = "vorda_bench_materialize_assets"

VALUES = {
    "1 KB": [f"item-{i:04d}" for i in range(74)],
    "10 MB": [f"{i:08d}" for i in range(833_333)],
}


def kilo():
    return VALUES["1 KB"]


def mega():
    return VALUES["10 MB"]


RECORD = json.dumps({"ok": True, "artifact_format": "json", "value_path": "out/value.json", "result_type": "list"})


def replay(folder, text, flush):
    """A run's disk work in Python: remove the old record, then each file
    through a temporary, renamed over its name."""
    dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            os.unlink("result.json", dir_fd=dir_fd)
            if flush:
                os.fsync(dir_fd)
        except FileNotFoundError:
            pass
        for name, data in (("value.json", text), ("result.json", RECORD)):
            temp = f".{name}.tmp"
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666, dir_fd=dir_fd)
            try:
                os.write(fd, data.encode())
                if flush:
                    os.fsync(fd)
            finally:
                os.close(fd)
            os.rename(temp, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
            if flush:
                os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def materialize(quick):
    sys.modules[MODULE] = sys.modules[__name__]
    root = pathlib.Path(tempfile.mkdtemp(prefix="vorda-bench-"))
    rows = []
    try:
        for size, function, (number, rounds) in (
            ("1 KB", "kilo", (10, 5) if quick else (40, 15)),
            ("10 MB", "mega", (1, 3) if quick else (1, 9)),
        ):
            value = VALUES[size]
            dirs = {name: root / size.replace(" ", "") / name for name in ("floor", "vorda", "safe", "bare")}
            for folder in dirs.values():
                folder.mkdir(parents=True)
            times = interleaved(
                {
                    "floor": lambda: (dirs["floor"] / "value.json").write_text(json.dumps(value), "utf-8"),
                    "vorda": lambda: materialize_asset(MODULE, function, str(dirs["vorda"])),
                    "safe": lambda: replay(dirs["safe"], json.dumps(value), True),
                    "bare": lambda: replay(dirs["bare"], json.dumps(value), False),
                },
                number,
                rounds,
            )
            assert (dirs["vorda"] / "value.json").read_text() == (dirs["floor"] / "value.json").read_text()

            def ratio(name):
                return statistics.median(a / b for a, b in zip(times[name], times["floor"]))

            rows += [
                (f"json.dumps + Path.write_text, {size}", statistics.median(times["floor"]), None, None),
                (f"materialize_asset, {size}", statistics.median(times["vorda"]), ratio("vorda"), None),
                (f"  same disk work in Python, fsync'd, {size}", statistics.median(times["safe"]), ratio("safe"), None),
                (f"  same disk work in Python, no fsync, {size}", statistics.median(times["bare"]), ratio("bare"), None),
            ]
            flush = statistics.median(s - b for s, b in zip(times["safe"], times["bare"]))
            # With 10 MB to write, the flushes are within the noise of the
            # write itself, and the difference can come out below zero.
            if flush > 0:
                rows.append((f"  flush to disk per run (the two above), {size}", flush, None, None))
    finally:
        shutil.rmtree(root, ignore_errors=True)
        sys.modules.pop(MODULE, None)
    return rows


SECTIONS = (materialize,)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    for section in SECTIONS:
        print_rows(section(args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
