"""Running test bodies on several Python threads at once. Each body does a fixed
number of iterations, or runs alongside bodies that do (`Done`, `alongside`);
HANG_SECONDS only turns a deadlock into a failure instead of a run that never
ends, and is far above what any body needs."""

import sys
import threading

HANG_SECONDS = 600
# The interpreter lock changes hands this often while the bodies run, so that
# short runs interleave finely (the default, 5 ms, would leave them in turns).
SWITCH_INTERVAL = 1e-4


class Done:
    """Set once `count` bodies with a fixed number of iterations have finished."""

    def __init__(self, count=1):
        self._left, self._lock, self._event = count, threading.Lock(), threading.Event()

    def finish(self):
        with self._lock:
            self._left -= 1
            if self._left == 0:
                self._event.set()

    def is_set(self):
        return self._event.is_set()


def alongside(done, minimum):
    """Iteration numbers for a body that runs beside one with a fixed count:
    at least `minimum` of them, then on until that body sets `done`."""
    i = 0
    while i < minimum or not done.is_set():
        yield i
        i += 1


def run_threads(targets):
    """Starts every target together, joins them and re-raises the first
    exception any of them raised."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrap(target):
        def body():
            try:
                start.wait(HANG_SECONDS)
                target()
            except BaseException as exc:  # reported to the calling thread below
                errors.append(exc)
        return body

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(HANG_SECONDS)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "threads deadlocked"
    if errors:
        raise errors[0]
