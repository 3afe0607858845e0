"""Watching, from another thread, whether a call holds its read borrow.

An exclusive borrow of an array is refused (-1) exactly while a read borrow
of overlapping memory is registered. A call registers its inputs at
acceptance and gives them back at its end, and no Python code of the calling
thread runs in between; so another thread that sees -1 has run while the
call was inside its borrow, which it can only do if the call released the
interpreter lock.
"""

import sys
import threading
import warnings

from test_borrow_registry import open_borrows


def change(array, attribute, value):
    """Sets a layout attribute (dtype, shape, strides) that NumPy has started
    to deprecate setting; the module must cope while NumPy allows it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        setattr(array, attribute, value)


class BorrowWatcher:
    """Probes `array` with exclusive borrows on its own thread until stopped.

    `borrowed` counts refused probes, `free` granted ones (each given back at
    once). `on_borrowed`, if given, runs on the watcher thread at the first
    refused probe, while the call is still inside its borrow. The switch
    interval is raised meanwhile, so that threads change only where they
    wait: a probe's acquisition and release cannot be split by a switch.
    """

    def __init__(self, array, on_borrowed=None):
        self.array = array
        self.on_borrowed = on_borrowed
        self.borrowed = 0
        self.free = 0
        self.other_codes = []
        self.error = None
        self._borrows = open_borrows()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        try:
            self._probe_until_stopped()
        except BaseException as exc:  # raised again on the test's thread
            self.error = exc

    def _probe_until_stopped(self):
        while not self._stop.is_set():
            code = self._borrows.acquire_mut(self.array)
            if code == 0:
                self._borrows.release_mut(self.array)
                self.free += 1
            elif code == -1:
                self.borrowed += 1
                if self.on_borrowed is not None:
                    self.on_borrowed()
                    self.on_borrowed = None
            else:
                self.other_codes.append(code)
            self._stop.wait(0.0001)  # gives the interpreter lock back

    def __enter__(self):
        self._interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        sys.setswitchinterval(self._interval)
        if self.error is not None:
            raise self.error
        assert self.other_codes == []
