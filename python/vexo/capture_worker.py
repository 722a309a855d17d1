"""The thread behind a camera's asynchronous reads.

A camera's capture calls block (a capture step waits up to about 1.5 s for the board), so its
coroutines hand them to one thread of the camera's own, which runs them one at a time in the
order asked; the event loop awaits each result without polling. The thread lives while the
camera captures for its coroutines, not per frame.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import queue
import threading
from typing import Any, Callable, Optional

__all__ = ["CaptureWorker", "settled"]


class CaptureWorker:
    """Runs jobs on a thread of its own, first asked first run, until retired."""

    def __init__(self, name: str) -> None:
        self._jobs: "queue.SimpleQueue[Optional[tuple]]" = queue.SimpleQueue()
        self._guard = threading.Lock()
        self._retired = False
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def submit(self, fn: Callable[..., Any], *args: Any) -> "concurrent.futures.Future[Any]":
        """The future of fn(*args), run after the jobs asked before. A retired worker runs
        nothing more: its future fails at once with ValueError."""
        job: "concurrent.futures.Future[Any]" = concurrent.futures.Future()
        with self._guard:
            if not self._retired:
                self._jobs.put((job, fn, args))
                return job
        job.set_exception(ValueError("the camera is closed"))
        return job

    def retire(self) -> None:
        """Ends the thread once the jobs asked so far have run. Does not wait for it."""
        with self._guard:
            if not self._retired:
                self._retired = True
                self._jobs.put(None)

    def join(self) -> None:
        """Waits for a retired worker's thread to end (not from that thread itself)."""
        if threading.current_thread() is not self._thread:
            self._thread.join()

    @property
    def alive(self) -> bool:
        return self._thread.is_alive()

    def _run(self) -> None:
        while True:
            job = self._jobs.get()
            if job is None:
                return
            future, fn, args = job
            if not future.set_running_or_notify_cancel():
                continue  # cancelled before it began
            try:
                future.set_result(fn(*args))
            except BaseException as e:  # noqa: BLE001 - handed to whoever awaits the job
                future.set_exception(e)


async def settled(job: "concurrent.futures.Future[Any]") -> Any:
    """Awaits @job to its end. Cancelling the waiting task does not cancel the job: it still
    runs to its end on the worker, which clean-ups that must happen rely on."""
    return await asyncio.shield(asyncio.wrap_future(job))
