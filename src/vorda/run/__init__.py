"""The pipeline runner behind ``vorda run`` and ``vorda runs``.

Discovery and planning (``discovery``, ``graph``, ``jobs``), the store
(``layout``, ``inputs``, ``history``), running (``executors``, ``runner``)
and what the user sees (``report``, ``cli``), one job per module.
"""
