"""Planning: the assets discovery reports (``discovery``), their graph
(``graph``) and the partition jobs with their inputs (``jobs``)."""
