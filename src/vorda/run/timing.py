"""How long the runner and its executors wait, in seconds."""

# Between SIGTERM and SIGKILL when a job's process group is ended.
KILL_GRACE = 2.0
# The runner's wait for a finished job, between looks for Ctrl-C.
JOB_POLL = 0.5
# The fork server's wait for a request, between reaps of its children.
SERVER_POLL = 1.0
# A Dask task's looks at the run's stop flag.
STOP_POLL = 0.5
# For running Dask tasks to end their processes once the run is stopped.
DASK_STOP_WAIT = 10.0
# To reach a Dask scheduler named by --scheduler.
DASK_CONNECT_TIMEOUT = "10s"
# The runner moves a Dask heartbeat this often; a task whose heartbeat has
# not moved for DASK_BEAT_TIMEOUT takes the runner for gone and ends its job.
DASK_BEAT = 1.0
DASK_BEAT_TIMEOUT = 5.0
# A Dask task runs a batch of jobs for about this long, sized from the job
# times of the batches returned so far.
DASK_BATCH_SECONDS = 0.1
# A Dask worker's fork server ends once no task of its run has used it this long.
FORK_SERVER_IDLE = 10.0
# The runner's looks for ended processes that assets left behind.
ORPHAN_POLL = 2.0
# Before a failed job's next attempt (--retries): doubling from this, at most the next.
RETRY_DELAY = 0.2
RETRY_DELAY_MAX = 5.0
# Finished jobs are made durable and recorded together, at most this late.
BATCH_WINDOW = 0.03
# A code file's change time is taken as up to this much earlier than the change
# (the kernel's coarse clock): a job started within it may have read the change.
CODE_CHANGE_MARGIN = 1.0
