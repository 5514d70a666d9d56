"""vorda: declare, discover and run data assets.

User code declares assets with ``@asset(...)`` and static partition keys with
``partitions([...])``; ``python -m vorda.inspect`` reports them and
``python -m vorda.worker`` materializes one.
"""

from vorda._vorda import AssetWrapper, Partitions, asset, partitions

__all__ = ["asset", "partitions", "AssetWrapper", "Partitions"]
__version__ = "0.1.0"
