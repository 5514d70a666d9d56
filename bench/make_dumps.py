"""Writes the text Python's json.dumps (default arguments) makes of each
nativejson document: `<name>.dumps.json` in the output folder.

    python3 bench/make_dumps.py CORPORA_NATIVEJSON_DIR OUTPUT_DIR
"""
import json
import pathlib
import sys

DOCUMENTS = ("canada.json", "citm_catalog.json", "twitter.json")


def main(source: str, target: str) -> None:
    out = pathlib.Path(target)
    out.mkdir(parents=True, exist_ok=True)
    for name in DOCUMENTS:
        value = json.loads(pathlib.Path(source, name).read_text(encoding="utf-8"))
        text = json.dumps(value)  # what the module hands to its reader in practice
        (out / name.replace(".json", ".dumps.json")).write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(*sys.argv[1:3])
