"""What the status page and Prometheus tests run: notavero-serve on
simulators, a WebSocket client that decides bills with the token, a
chromedriver session spoken to over its W3C HTTP API, and waits on
conditions with generous deadlines.  Standard library only."""

import base64
import json
import os
import pathlib
import queue
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.request

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "bindings" / "python"))
from tests import children  # noqa: E402  (the Python package's test helpers)
from tests.support import TIMEOUT, Simulator, child_environment  # noqa: E402,F401

def needs(*programs, packages):
    """A test module's setUpModule that skips the module, saying what to
    install, when one of `programs` is not on the PATH."""
    def set_up_module():
        missing = [name for name in programs if shutil.which(name) is None]
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)} (scripts/install-deps installs "
                                    f"Debian's {packages})")
    return set_up_module


SERVE = os.environ.get("NOTAVERO_SERVE") or str(REPOSITORY / "build" / "notavero-serve")
WWW = REPOSITORY / "service" / "www"
LONG = 60.0  # seconds: the longest any wait here may take on a loaded machine


def wait_until(condition, what, timeout=LONG, every=0.1):
    """Polls condition() until it returns something true, and returns it;
    fails with what (a text, or a function that gives one: called then)
    when timeout passes."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = condition()
        if last:
            return last
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:g} s waiting for {what() if callable(what) else what}")
        time.sleep(every)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def http_get(url, timeout=TIMEOUT):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode("utf-8")


class Service:
    """notavero-serve on the given simulators (name -> Simulator), in its
    own state directory, serving the files of `www`; .port, .token, .url."""

    def __init__(self, state_dir, simulators, port=0, *options, www=WWW):
        self.state_dir = pathlib.Path(state_dir)
        args = [SERVE, "--http-port", str(port), "--state-dir", str(self.state_dir), "--www", str(www),
                "--escrow-timeout", "30000", *options]
        for name, sim in simulators.items():
            args += ["--device", f"{name}={sim.path}"]
        self._process = children.popen(args, stdout=subprocess.PIPE, text=True, env=child_environment())
        lines = queue.Queue()

        def read():
            for line in self._process.stdout:
                lines.put(line)

        threading.Thread(target=read, daemon=True).start()
        try:
            while True:
                line = lines.get(timeout=LONG)
                if "listening on http://" in line:
                    break
        except queue.Empty:
            children.kill(self._process)
            raise RuntimeError(f"{SERVE} did not say where it listens") from None
        self.port = int(line.split("http://", 1)[1].split("/", 1)[0].rsplit(":", 1)[1])
        self.url = f"http://127.0.0.1:{self.port}"
        self.token = (self.state_dir / "token").read_text().strip()

    def stop(self):
        """SIGTERM, as systemd stops it; killed when it does not end."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=LONG)
            except subprocess.TimeoutExpired:
                pass
        children.kill(self._process)


class WebSocket:
    """A WebSocket client of the service's /v1/ws: JSON text messages."""

    def __init__(self, port, token=None):
        self._sock = socket.create_connection(("127.0.0.1", port), timeout=LONG)
        key = base64.b64encode(os.urandom(16)).decode()
        head = [
            "GET /v1/ws HTTP/1.1",
            f"Host: 127.0.0.1:{port}",
            "Upgrade: websocket",
            "Connection: Upgrade",
            f"Sec-WebSocket-Key: {key}",
            "Sec-WebSocket-Version: 13",
        ]
        if token:
            head.append(f"Authorization: Bearer {token}")
        self._sock.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
        self._buffer = b""
        while b"\r\n\r\n" not in self._buffer:
            self._buffer += self._recv()
        reply, self._buffer = self._buffer.split(b"\r\n\r\n", 1)
        if not reply.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(f"handshake refused: {reply.decode(errors='replace')}")

    def _recv(self):
        chunk = self._sock.recv(65536)
        if not chunk:
            raise ConnectionError("the service closed the connection")
        return chunk

    def _take(self, size):
        while len(self._buffer) < size:
            self._buffer += self._recv()
        data, self._buffer = self._buffer[:size], self._buffer[size:]
        return data

    def _send_frame(self, opcode, payload):
        mask = os.urandom(4)
        size = len(payload)
        if size < 126:
            head = struct.pack("!BB", 0x80 | opcode, 0x80 | size)
        elif size < 65536:
            head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, size)
        else:
            head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, size)
        self._sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send(self, message):
        self._send_frame(0x1, json.dumps(message).encode())

    def receive(self):
        """The next text message, parsed; answers pings on the way."""
        message = b""
        while True:
            first, second = self._take(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack("!H", self._take(2))[0]
            elif size == 127:
                size = struct.unpack("!Q", self._take(8))[0]
            payload = self._take(size)
            opcode = first & 0x0F
            if opcode == 0x8:
                raise ConnectionError("the service closed the WebSocket")
            if opcode == 0x9:
                self._send_frame(0xA, payload)
                continue
            if opcode in (0x0, 0x1):
                message += payload
                if first & 0x80:
                    return json.loads(message)

    def wait_for(self, match, what):
        """Reads messages until match(message) holds; returns that one."""
        deadline = time.monotonic() + LONG
        while time.monotonic() < deadline:
            message = self.receive()
            if match(message):
                return message
        raise AssertionError(f"no message {what} within {LONG:g} s")

    def close(self):
        self._sock.close()


class Decider:
    """A front end with the token: says hello, stacks every bill offered."""

    def __init__(self, port, token):
        self.ws = WebSocket(port, token)
        self.ws.send({"cmd": "hello"})
        hello = self.ws.wait_for(lambda m: m.get("cmd") == "hello", "answering hello")
        if not hello.get("authorized"):
            raise AssertionError(f"the token was not taken: {hello}")

    def take(self, sim, device, bill_type):
        """Inserts a bill into sim, stacks it when offered; returns the
        stacked event."""
        sim.command(f"insert {bill_type}")
        escrow = self.ws.wait_for(lambda m: m.get("type") == "escrow" and m.get("device") == device,
                                  f"escrow on {device}")
        self.ws.send({"cmd": "stack", "id": escrow["id"]})
        stacked = self.ws.wait_for(lambda m: m.get("type") == "stacked" and m.get("device") == device,
                                   f"stacked on {device}")
        # The service journals the bill before the device is told to forget
        # it: the device takes the next bill once it waits again.
        wait_until(lambda: sim.status()["state"] == "14", f"{device} to wait for the next bill")
        return stacked

    def reject(self, sim, device, bill_type):
        """Inserts a bill of a type the driver does not enable."""
        sim.command(f"insert {bill_type}")
        return self.ws.wait_for(lambda m: m.get("type") == "rejected" and m.get("device") == device,
                                f"rejected on {device}")

    def close(self):
        self.ws.close()


class Browser:
    """Headless Chromium driven by chromedriver's W3C WebDriver HTTP API."""

    ELEMENT = "element-6066-11e4-a52e-4f735466cecf"

    def __init__(self, profile_dir, width=1280, height=900):
        port = free_port()
        self._process = children.popen([shutil.which("chromedriver"), f"--port={port}"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       env=child_environment())
        self._base = f"http://127.0.0.1:{port}"
        wait_until(self._ready, "chromedriver to answer")
        options = {
            "binary": shutil.which("chromium"),
            "args": ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--hide-scrollbars", f"--user-data-dir={profile_dir}",
                     f"--window-size={width},{height}"],
        }
        capabilities = {"alwaysMatch": {"browserName": "chrome", "goog:chromeOptions": options}}
        self._session = self._call("POST", "/session", {"capabilities": capabilities})["sessionId"]

    def _ready(self):
        try:
            return json.loads(http_get(self._base + "/status", timeout=5))["value"]["ready"]
        except (OSError, ValueError, KeyError):
            return False

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self._base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=LONG) as response:
                return json.loads(response.read())["value"]
        except urllib.error.HTTPError as error:
            raise AssertionError(f"WebDriver {method} {path}: {error.read().decode(errors='replace')}") from None

    def _session_call(self, method, path, body=None):
        return self._call(method, f"/session/{self._session}{path}", body)

    def open(self, url):
        self._session_call("POST", "/url", {"url": url})

    def script(self, source, *args):
        return self._session_call("POST", "/execute/sync", {"script": source, "args": list(args)})

    def element(self, css):
        return self._session_call("POST", "/element", {"using": "css selector", "value": css})[self.ELEMENT]

    def type(self, css, text):
        self._session_call("POST", f"/element/{self.element(css)}/value", {"text": text})

    def click(self, css):
        self._session_call("POST", f"/element/{self.element(css)}/click", {})

    def resize(self, width, height):
        self._session_call("POST", "/window/rect", {"width": width, "height": height})

    def screenshot(self):
        return base64.b64decode(self._session_call("GET", "/screenshot"))

    def close(self):
        try:
            self._call("DELETE", f"/session/{self._session}")
        finally:
            children.kill(self._process)
