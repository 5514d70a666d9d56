"""The worker's run of an asset in Python: for every format but the engine's
JSON, and whenever an input is a stored value passed by reference.

It keeps the engine's contract: the same ``result.json`` members in the
same compact sorted form (``"artifact_format"`` the format's name,
``"value_path"`` the value file), the same failure record, ``SystemExit(1)``
after a failure, and the same crash safety (``outputs.OutputDir``).
"""

from __future__ import annotations

import importlib
import inspect
import json
import pathlib
import typing
from typing import Any

from vorda import _tracing, loading, values
from vorda.outputs import OutputDir
from vorda.worker import serializer_of


def _text(text: str) -> str:
    # Lone surrogates cannot be written as UTF-8: each of their bytes becomes
    # U+FFFD, as in the engine's records.
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def record_bytes(record: dict[str, Any]) -> bytes:
    """Compact JSON, keys sorted, non-ASCII as UTF-8: the engine's record form."""
    clean = {key: _text(value) if isinstance(value, str) else value for key, value in record.items()}
    return json.dumps(clean, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode("utf-8")


def failure_record(error: BaseException) -> dict[str, Any]:
    kind = type(error)
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    return {"ok": False, "error": f"{kind.__qualname__}: {message}", "error_type": kind.__name__}


def _hints(function: Any) -> dict[str, Any]:
    """The parameters' annotations, evaluated; those that cannot be are left out."""
    try:
        return typing.get_type_hints(function)
    except Exception:
        pass
    hints: dict[str, Any] = {}
    try:
        parameters = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return hints
    for name, parameter in parameters.items():
        annotation = parameter.annotation
        if isinstance(annotation, str):
            try:
                # The annotation is the module's own text, evaluated where it was written.
                annotation = eval(annotation, getattr(function, "__globals__", {}))
            except Exception:
                continue
        if annotation is not inspect.Parameter.empty:
            hints[name] = annotation
    return hints


def _retyped(error: Exception, message: str) -> Exception:
    try:
        made = type(error)(message)
    except Exception:
        return error
    return made if str(made) == message else error


def _finder(entry: dict[str, Any]) -> Any:
    def find_format(file_name: str) -> values.Format | None:
        made = values.by_file_name(file_name)
        if made is None and isinstance(entry.get("module"), str):
            # A format the upstream's module registers when it is imported.
            importlib.import_module(entry["module"])
            made = values.by_file_name(file_name)
        return made

    return find_format


def load_input(param: str, entry: dict[str, Any], annotation: Any) -> Any:
    """One parameter's value from its reference (see vorda.run.store.refs)."""
    sources = entry["sources"]
    find_format = _finder(entry)
    try:
        if not entry["list"]:
            source = sources[0]
            return loading.read_file(source["path"], annotation, source.get("identity"), find_format)
        kind = loading.kind_of(annotation)
        if kind in loading.TABLE_KINDS:
            parts = [loading.Part(s["partition"], s["path"], s.get("identity")) for s in sources]
            return loading.read_partitions(parts, entry["dims"], annotation)
        if kind is not None:
            raise TypeError(f"a parameter annotated {annotation!r} cannot take several partitions; "
                            "leave it unannotated for a list of them")
        return [
            {"partition": s["partition"],
             "value": loading.read_file(s["path"], None, s.get("identity"), find_format)}
            for s in sources
        ]
    except (TypeError, ValueError, LookupError, OSError) as error:
        raise _retyped(error, f"input {param!r} from {entry.get('asset', '?')}: {error}") from None


def _kwargs(inputs: str | None) -> dict[str, Any]:
    if inputs is None:
        return {}
    kwargs = json.loads(inputs)
    if not isinstance(kwargs, dict):
        raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
    return kwargs


def _run(module: str, function: str, output_dir: str, inputs: str | None, refs: dict[str, Any] | None,
         target: object, files: Any) -> None:
    try:
        callable_ = getattr(target, "__vorda_original__")
    except Exception:
        callable_ = target
    serializer = serializer_of(target)
    if serializer is not None and serializer != values.AUTO:
        values.get(serializer).check_libraries()  # before the asset runs
    kwargs = _kwargs(inputs)
    if refs:
        hints = _hints(callable_)
        for param, entry in refs.items():
            kwargs[param] = load_input(param, entry, hints.get(param))
    value = callable_(**kwargs)
    made = values.choose(serializer, value)
    made.check_libraries()
    files.stage_value(made.file_name, lambda stream: made.write(value, stream))
    record = {
        "ok": True,
        "artifact_format": made.name,
        "value_path": str(pathlib.Path(output_dir) / made.file_name),
        "result_type": type(value).__name__,
        "module_path": module,
        "function_name": function,
        "signature": str(inspect.signature(callable_)),
    }
    files.publish(record_bytes(record))


def materialize(module: str, function: str, output_dir: str, inputs: str | None,
                refs: dict[str, Any] | None, target: object, looking_up: BaseException | None = None) -> None:
    """Run the asset `target` (`module`.`function`, already looked up; or
    record `looking_up`, the exception that looking it up raised), write
    its value and record; after a failure, its record, then SystemExit(1).
    Raises what preparing the output directory raises, with nothing written."""
    files = OutputDir(output_dir)
    try:
        try:
            if looking_up is not None:
                raise looking_up  # reported when it happened
            try:
                _run(module, function, output_dir, inputs, refs, target, files)
            except BaseException as error:
                _tracing.report(error)
                raise
            return
        except BaseException as error:  # as the engine: every failure of the run is recorded
            record = failure_record(error)
            del error
        # A value staged before the failure goes with the record, as the engine's does.
        files.publish(record_bytes(record))
    finally:
        files.close()
    raise SystemExit(1)
