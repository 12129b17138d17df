"""Running test bodies on several Python threads at once, bounded in time."""

import threading

JOIN_SECONDS = 60


def run_threads(targets):
    """Starts every target together, joins them within a bounded time and
    re-raises the first exception any of them raised."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrap(target):
        def body():
            try:
                start.wait(JOIN_SECONDS)
                target()
            except BaseException as exc:  # reported to the calling thread below
                errors.append(exc)
        return body

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_SECONDS)
    assert not any(thread.is_alive() for thread in threads), "threads did not finish in time"
    if errors:
        raise errors[0]
