"""The one error the runner names to the user before it runs anything."""


class UsageError(Exception):
    """A usage, discovery, graph or store error: the message is shown as is
    and the command exits with status 2, having run nothing."""
