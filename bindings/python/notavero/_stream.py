"""Events handed from the driver's polling thread to other threads and to
asyncio event loops."""

import asyncio
import queue
import threading
import weakref

END = object()  # the driver is closed: no event follows


class Hub:
    """The streams that listen to one driver.  publish() runs on the polling
    thread and never blocks; a stream nobody holds any more drops out."""

    def __init__(self):
        self._lock = threading.Lock()
        self._streams = weakref.WeakSet()
        self._ended = False

    def add(self, stream):
        with self._lock:
            if not self._ended:
                self._streams.add(stream)
                return
        stream.push(END)

    def remove(self, stream):
        with self._lock:
            self._streams.discard(stream)

    def publish(self, item):
        with self._lock:
            streams = list(self._streams)
        for stream in streams:
            stream.push(item)

    def end(self):
        """The driver is closed: every stream ends, and so does each one
        added later."""
        with self._lock:
            self._ended = True
            streams = list(self._streams)
            self._streams.clear()
        for stream in streams:
            stream.push(END)


class EventStream:
    """An iterator over the driver's events from the moment it was made.

    Iteration ends when no event came for `timeout` seconds (None: wait
    without limit) or when the driver is closed.  close() (or leaving a with
    block) stops listening; an abandoned stream stops when it is collected.
    Events wait in the stream until they are taken."""

    def __init__(self, hub, timeout=None):
        self._hub = hub
        self._timeout = timeout
        self._queue = queue.SimpleQueue()
        self._done = False
        hub.add(self)

    def push(self, item):
        self._queue.put(item)

    def get(self, timeout):
        """The next event; None after timeout seconds without one.  Raises
        StopIteration once the stream has ended."""
        if self._done:
            raise StopIteration
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return None
        if item is END:
            self.close()
            raise StopIteration
        return item

    def __iter__(self):
        return self

    def __next__(self):
        item = self.get(self._timeout)
        if item is None:
            self.close()
            raise StopIteration
        return item

    def close(self):
        self._done = True
        self._hub.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


class AsyncEventStream:
    """EventStream for an asyncio loop: `async for event in driver.aevents()`.
    Made inside the loop; the polling thread hands each event to the loop
    with call_soon_threadsafe."""

    def __init__(self, hub, timeout=None):
        self._hub = hub
        self._timeout = timeout
        self._loop = asyncio.get_running_loop()
        self._queue = asyncio.Queue()
        self._done = False
        hub.add(self)

    def push(self, item):
        try:
            self._loop.call_soon_threadsafe(self._queue.put_nowait, item)
        except RuntimeError:  # the loop is closed: nobody is listening
            self._hub.remove(self)

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self._done:
            raise StopAsyncIteration
        try:
            item = await asyncio.wait_for(self._queue.get(), self._timeout)
        except asyncio.TimeoutError:
            item = END
        if item is END:
            self.close()
            raise StopAsyncIteration
        return item

    def close(self):
        self._done = True
        self._hub.remove(self)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        self.close()
