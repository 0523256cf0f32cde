"""Oversized bodies and images against a real host at its default limits:
refused with 413, without the host's memory growing with what was sent.
Prints the host's resident memory (now and peak) and the time each case took."""
from __future__ import annotations

import base64
import json
import pathlib
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "host"))
from host_wire import PNG_1x1, TOKEN, start_server  # noqa: E402
from rel_support import SANITIZED  # noqa: E402

MB = 1024 * 1024
#: Generous bound on how much a refused request may add to the host's peak memory.
PEAK_GROWTH_BOUND = 600 * MB
#: ... and to what it keeps once the request is over.
SETTLED_GROWTH_BOUND = 200 * MB


def memory(pid: int) -> tuple:
    """(resident, peak resident) bytes of process ``pid``."""
    fields = {}
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0]) * 1024
    return fields["VmRSS"], fields["VmHWM"]


def post(port: int, path: str, content_type: str, body_chunks, length: int | None) -> tuple:
    """Send a request by hand, stop sending once the host answers;
    (status, detail, bytes sent)."""
    head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: {content_type}\r\n"
            f"Authorization: Bearer {TOKEN}\r\n")
    head += f"Content-Length: {length}\r\n" if length is not None else "Transfer-Encoding: chunked\r\n"
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    sent = [0]
    answered = threading.Event()

    def sender():
        try:
            sock.sendall(head.encode() + b"\r\n")
            for chunk in body_chunks:
                if answered.is_set():
                    return
                sock.sendall(chunk)
                sent[0] += len(chunk)
        except OSError:
            pass

    thread = threading.Thread(target=sender, daemon=True)
    thread.start()
    data = b""
    try:
        while True:
            part = sock.recv(65536)
            if not part:
                break
            data += part
            head_end = data.find(b"\r\n\r\n")
            if head_end >= 0 and data.rstrip().endswith(b"}"):
                break
    finally:
        answered.set()
        sock.close()
        thread.join(timeout=30)
    status = int(data.split(b" ", 2)[1])
    raw = data.split(b"\r\n\r\n", 1)[1]
    if b"chunked" in data.split(b"\r\n\r\n", 1)[0].lower():
        raw = raw.split(b"\r\n")[1]
    return status, json.loads(raw)["detail"], sent[0]


def repeat(piece: bytes, total: int, chunked: bool):
    done = 0
    while done < total:
        n = min(len(piece), total - done)
        yield (f"{n:x}\r\n".encode() + piece[:n] + b"\r\n") if chunked else piece[:n]
        done += n
    if chunked:
        yield b"0\r\n\r\n"


def data_url(image_bytes: int) -> str:
    return "data:image/png;base64," + base64.b64encode(PNG_1x1 + b"\0" * image_bytes).decode()


def json_with_data_urls(image_bytes: int, count: int) -> bytes:
    return json.dumps({"message": "look", "session_id": "caps",
                       "images": [data_url(image_bytes)] * count}).encode()


@pytest.fixture(scope="module")
def host():
    srv = start_server("--engine", "standin")
    yield srv
    srv.stop()


CASES = [
    ("400 MB /chat/send, Content-Length", "/chat/send", "application/json",
     lambda: repeat(b"x" * MB, 400 * MB, False), 400 * MB),
    ("400 MB /chat/send, chunked", "/chat/send", "application/json",
     lambda: repeat(b"x" * MB, 400 * MB, True), None),
    ("300 MB multipart upload, Content-Length", "/chat/upload", "multipart/form-data; boundary=b",
     lambda: repeat(b"--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.png\"\r\n\r\n"
                    + b"x" * MB, 300 * MB, False), 300 * MB),
    ("30 MB image as a data URL", "/chat/upload-data-url", "application/json",
     lambda: [json.dumps({"data_url": data_url(30 * MB)}).encode()], "auto"),
    ("25 MB image inside /chat/send", "/chat/send", "application/json",
     lambda: [json_with_data_urls(25 * MB, 1)], "auto"),
    ("two 60 MB images inside /chat/send", "/chat/send", "application/json",
     lambda: [json_with_data_urls(60 * MB, 2)], "auto"),
]


@pytest.mark.timeout(300)
def test_oversized_input_is_refused_with_bounded_memory(host):
    pid = host.proc.pid
    base_rss, base_peak = memory(pid)
    print(f"\nhost at rest: RSS {base_rss / MB:.1f} MB, peak {base_peak / MB:.1f} MB")
    uploads = host.home / ".korvel" / "uploads"
    for name, path, ctype, chunks, length in CASES:
        body = chunks()
        if length == "auto":
            body = list(body)
            length = sum(len(c) for c in body)
        t0 = time.perf_counter()
        status, detail, sent = post(host.port, path, ctype, body, length)
        took = time.perf_counter() - t0
        health_t0 = time.perf_counter()
        assert host.client.get("/health").status_code == 200
        health_took = time.perf_counter() - health_t0
        time.sleep(0.5)  # the host hands memory back shortly after a large body
        rss, peak = memory(pid)
        print(f"{name}: {status} after {took:.2f} s, {sent / MB:.1f} MB sent; host RSS {rss / MB:.1f} MB, "
              f"peak {peak / MB:.1f} MB; /health then {health_took * 1000:.1f} ms  ({detail[:60]})")
        assert status == 413, (name, detail)
        if not SANITIZED:
            assert peak - base_peak < PEAK_GROWTH_BOUND, name
            assert rss - base_rss < SETTLED_GROWTH_BOUND, name
        assert not uploads.exists() or not any(uploads.iterdir()), name


@pytest.mark.timeout(300)
def test_health_answers_while_a_large_body_is_parsed(host):
    # A 40 MB message: under the body cap, parsed on a worker thread.
    body = json.dumps({"message": "y" * (40 * MB), "session_id": "big-text"}).encode()
    timings = []
    stop = threading.Event()

    def probe():
        while not stop.is_set():
            t0 = time.perf_counter()
            host.client.get("/health")
            timings.append(time.perf_counter() - t0)
            time.sleep(0.01)

    thread = threading.Thread(target=probe, daemon=True)
    thread.start()
    try:
        t0 = time.perf_counter()
        res = host.client.post("/chat/send", content=body, headers={"Content-Type": "application/json"})
        took = time.perf_counter() - t0
    finally:
        stop.set()
        thread.join(timeout=30)
    time.sleep(0.5)
    rss, peak = memory(host.proc.pid)
    print(f"\n40 MB message: {res.status_code} after {took:.2f} s; /health during it: "
          f"{len(timings)} answers, slowest {max(timings) * 1000:.1f} ms; host RSS {rss / MB:.1f} MB, "
          f"peak {peak / MB:.1f} MB")
    # Longer than the message limit: refused with a readable reason.
    assert res.status_code == 422 and "detail" in res.json()
