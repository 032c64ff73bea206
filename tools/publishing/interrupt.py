"""Stopping a publish cleanly: Ctrl-C, SIGTERM (a CI job cancelled) and
SIGHUP (the terminal closed) raise Interrupted in the main thread, so that
every clean-up on the way out runs and the upload folder is left as it was."""

import contextlib
import signal


class Interrupted(BaseException):
    """Raised by a stop signal; a BaseException, like KeyboardInterrupt, so
    that no handler of errors takes it for one."""

    def __init__(self, number):
        super().__init__(signal.Signals(number).name)
        self.number = number


@contextlib.contextmanager
def interruptible():
    """Within, the stop signals raise Interrupted; once one has, the others
    are ignored until the clean-up is done."""
    numbers = [signal.SIGINT, signal.SIGTERM] + (
        [signal.SIGHUP] if hasattr(signal, "SIGHUP") else [])

    def stop(number, frame):
        for each in numbers:
            signal.signal(each, signal.SIG_IGN)
        raise Interrupted(number)

    before = {number: signal.signal(number, stop) for number in numbers}
    try:
        yield
    finally:
        for number, handler in before.items():
            signal.signal(number, handler)
