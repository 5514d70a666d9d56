"""An example orchestrator: how a scheduler might drive vorda.

This script is an example, not part of the vorda package. It discovers the
assets of the example modules with `python -m vorda.inspect`, orders them so
that upstream assets run first, expands partition combinations, and runs one
`python -m vorda.worker` process per job, passing upstream values and
partition keys as keyword arguments.

    python examples/run_pipeline.py [--out DIR] [--fail] [MODULE ...]
"""

import argparse
import itertools
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
MODULES = ["shop.raw", "shop.transform", "shop.partitioned", "shop.report"]


def discover(modules, env):
    done = subprocess.run(
        [sys.executable, "-m", "vorda.inspect", *modules], cwd=HERE, env=env, capture_output=True, text=True
    )
    sys.stderr.write(done.stderr)
    if done.returncode != 0:
        sys.exit(f"discovery failed with status {done.returncode}")
    assets = {}
    for record in json.loads(done.stdout)["assets"]:
        # An asset imported into another module is reported there too; keep the first.
        assets.setdefault(f"{record['file_path']}:{record['function_name']}", record)
    return assets


def upstream_order(assets):
    """Asset refs with every asset after the assets it reads."""
    ordered, state = [], {}

    def visit(ref, path):
        if state.get(ref) == "done":
            return
        if state.get(ref) == "visiting":
            sys.exit("cycle between assets: " + " -> ".join(path + [ref]))
        state[ref] = "visiting"
        for upstream in (assets[ref]["decorator_metadata"]["inputs"] or {}).values():
            if upstream not in assets:
                sys.exit(f"{ref} reads {upstream}, which no inspected module declares")
            visit(upstream, path + [ref])
        state[ref] = "done"
        ordered.append(ref)

    for ref in sorted(assets):
        visit(ref, [])
    return ordered


def partition_keys(record):
    dims = record["decorator_metadata"]["partitions"] or {}
    names = list(dims)
    values = [json.loads(dims[name]["values_json"]) for name in names]
    return [dict(zip(names, combo)) for combo in itertools.product(*values)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="*", default=MODULES)
    parser.add_argument("--out", default=str(HERE / "out"), help="output folder (default: examples/out)")
    parser.add_argument("--fail", action="store_true", help="make the audit asset fail on purpose")
    args = parser.parse_args()

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
    if args.fail:
        env["VORDA_DEMO_FAIL"] = "1"
    out = Path(args.out).resolve()

    assets = discover(args.modules, env)
    jobs = [(ref, keys) for ref in upstream_order(assets) for keys in partition_keys(assets[ref])]
    print(f"discovered {len(assets)} assets, {len(jobs)} jobs")

    values, failed, rows = {}, set(), []
    for number, (ref, keys) in enumerate(jobs, 1):
        record = assets[ref]
        name = record["function_name"]
        label = f"{record['module_path']}:{name}" + "".join(f" {k}={v}" for k, v in keys.items())
        inputs = record["decorator_metadata"]["inputs"] or {}
        if any(upstream in failed for upstream in inputs.values()):
            failed.add(ref)
            rows.append((label, "skipped", "", ""))
            print(f"[{number}/{len(jobs)}] {label} ... skipped (upstream failed)")
            continue
        if any(upstream not in values for upstream in inputs.values()):
            sys.exit(f"{label} reads a partitioned asset; this example passes only unpartitioned values")
        kwargs = {param: values[upstream] for param, upstream in inputs.items()}
        kwargs.update(keys)
        job_dir = out / name / "-".join(f"{k}={v}" for k, v in keys.items()) if keys else out / name
        done = subprocess.run(
            [sys.executable, "-m", "vorda.worker", record["module_path"], name, str(job_dir), "--inputs", json.dumps(kwargs)],
            cwd=HERE,
            env=env,
            capture_output=True,
            text=True,
        )
        result = json.loads((job_dir / "result.json").read_text(encoding="utf-8"))
        if result["ok"] and not keys:
            values[ref] = json.loads(Path(result["value_path"]).read_text(encoding="utf-8"))
        if not result["ok"]:
            failed.add(ref)
        status = "ok" if result["ok"] else "failed"
        detail = "" if result["ok"] else f": {result['error']}"
        print(f"[{number}/{len(jobs)}] {label} ... {status}{detail}")
        if done.returncode != (0 if result["ok"] else 1):
            print(f"    worker exited with status {done.returncode}: {done.stderr.strip()}")
        rows.append((label, status, result.get("result_type", ""), result.get("value_path", "")))

    width = max(len(row[0]) for row in rows)
    print()
    print(f"{'job':{width}}  {'status':7}  {'type':8}  value")
    for label, status, kind, path in rows:
        shown = os.path.relpath(path) if path and not os.path.relpath(path).startswith("..") else path
        print(f"{label:{width}}  {status:7}  {kind:8}  {shown}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
