"""The exceptions of the quelmo package."""


class QuelmoError(Exception):
    """Base class of the errors the quelmo package raises."""


class InputError(QuelmoError, ValueError):
    """A coil file that the program's reader refuses.

    ``str(error)`` is the program's own message, for example
    ``readind (readTestInductors:88) At line 3 in coils.txt, radius 0 bad``;
    ``error.path`` is the file.
    """

    def __init__(self, message, path):
        super().__init__(message)
        self.message = message
        self.path = path


class FitError(QuelmoError, RuntimeError):
    """A fit whose program run failed.

    ``str(error)`` is the program's message (what it wrote to standard
    error); ``error.status`` its exit status (128 + N when signal N ended it),
    ``error.output`` its standard output and ``error.workdir`` the directory
    of the run, which holds its files.
    """

    def __init__(self, message, status, output, workdir):
        super().__init__(message)
        self.message = message
        self.status = status
        self.output = output
        self.workdir = workdir


class QuelmoWarning(UserWarning):
    """Base class of the warnings the quelmo package gives, for
    ``warnings.filterwarnings`` and pytest's ``-W``."""
