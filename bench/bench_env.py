"""Imported first by every bench that runs commands in other folders: it
makes PYTHONPATH's entries absolute. Those commands run in temporary
folders, where a relative entry (``PYTHONPATH=src``) would find nothing,
and Python would quietly import another vorda (an installed one) instead
of the tree being measured."""

import os

os.environ["PYTHONPATH"] = os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry)
if not os.environ["PYTHONPATH"]:
    del os.environ["PYTHONPATH"]
