"""Imported first by every bench that runs commands in other folders.

It makes PYTHONPATH's entries absolute: those commands run in temporary
folders, where a relative entry (``PYTHONPATH=src``) would find nothing,
and Python would quietly import another vorda (an installed one) instead
of the tree being measured. And it compiles that vorda's bytecode, as an
install has it: under PYTHONDONTWRITEBYTECODE every command would compile
the package from source again, a cost no user's install pays."""

import compileall
import os

_ENTRIES = [os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
if _ENTRIES:
    os.environ["PYTHONPATH"] = os.pathsep.join(_ENTRIES)
else:
    os.environ.pop("PYTHONPATH", None)
for _entry in _ENTRIES:
    if os.path.isdir(os.path.join(_entry, "vorda")):
        compileall.compile_dir(os.path.join(_entry, "vorda"), quiet=1)
