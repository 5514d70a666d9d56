"""``vorda ui``: a local web page over a store and its history.

The asset graph, each asset's partitions as a matrix, the runs and their
jobs' logs, kept up to date while runs go; a run can be started from the
page. What is stale is what ``vorda run --dry-run`` would run: the page
takes the runner's own dry run (survey.py). Pages are rendered on the
server (pages.py) from the same facts the JSON API answers (api.py).
"""
