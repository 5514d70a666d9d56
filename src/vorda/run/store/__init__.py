"""The store: where values, records, logs and the run history live
(``layout``), how partition keys become path components (``keys``), safe
file access and value hashing (``files``), the run history (``history``),
the store's lock (``lock``) and the inputs files of jobs (``inputs``)."""
