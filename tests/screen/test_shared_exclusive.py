"""The screened index's shared/exclusive lock prefers a waiting writer.

Driven through the test-only module, which holds one such lock: each call
waits without the interpreter lock, so test threads block in it for real.
The test never sleeps to decide anything: it watches the lock's own count
of waiting threads.
"""

import threading
import time

from tarnix_engine import _support_probe as probe


def wait_until(condition, what, limit=30.0):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.001)


def test_a_waiting_writer_goes_before_readers_that_come_after_it():
    order = []
    writer_holds = threading.Event()
    writer_may_go = threading.Event()

    def writer():
        probe.lock_exclusive()
        order.append("writer")
        writer_holds.set()
        writer_may_go.wait()
        probe.unlock_exclusive()

    def late_reader():
        probe.lock_shared()
        order.append("reader")
        probe.unlock_shared()

    probe.lock_shared()  # an earlier reader, still reading
    threads = [threading.Thread(target=writer)]
    try:
        threads[0].start()
        wait_until(lambda: probe.lock_waiting() == (0, 1), "the writer to wait")
        threads.append(threading.Thread(target=late_reader))
        threads[1].start()
        # Without the preference the late reader would join the earlier one
        # at once and never be counted as waiting.
        wait_until(lambda: probe.lock_waiting() == (1, 1), "the late reader to wait behind the writer")
        assert order == []
    finally:
        probe.unlock_shared()
    writer_holds.wait(30)
    assert order == ["writer"]
    assert probe.lock_waiting() == (1, 0)
    writer_may_go.set()
    for t in threads:
        t.join(30)
    assert order == ["writer", "reader"]
    assert probe.lock_waiting() == (0, 0)
