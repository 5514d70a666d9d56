"""Prints the requirements of one optional-dependency group of pyproject.toml,
one per line, so that the Makefile installs exactly what the package lists.

    python3 tools/extra_requirements.py test
"""

import sys
import tomllib
from pathlib import Path


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: extra_requirements.py EXTRA", file=sys.stderr)
        return 2
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    extras = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["optional-dependencies"]
    if sys.argv[1] not in extras:
        print(f"extra_requirements.py: no extra {sys.argv[1]!r} in {pyproject}", file=sys.stderr)
        return 2
    print("\n".join(extras[sys.argv[1]]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
