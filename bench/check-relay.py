#!/usr/bin/env python3
"""Checks that latency_relay adds what it claims, on loopback: the round-trip
time of small request/response exchanges, the rate cap, many connections at
once and a half-closed connection; and how fast it relays. Prints the figures; exits 1 when one is off.
    bench/check-relay.py [RELAY_BINARY]   (default build/bench/latency_relay)
"""
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

RELAY = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bench", "latency_relay")
TIMEOUT = 20


def serve(handler):
    """A threaded server on a loopback port 0; returns the port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)

    def loop():
        while True:
            conn, _ = listener.accept()
            conn.settimeout(TIMEOUT)
            threading.Thread(target=handler, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return listener.getsockname()[1]


def echo(conn):
    """Echoes until the client closes its side, then closes."""
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)


def sink(conn):
    """Counts bytes until the client half-closes, then answers with the count."""
    with conn:
        total = 0
        while True:
            data = conn.recv(1 << 20)
            if not data:
                break
            total += len(data)
        conn.sendall(str(total).encode())


def relay(target_port, *args):
    proc = subprocess.Popen([RELAY, "--target", "127.0.0.1:%d" % target_port, *args],
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("port "):
        proc.kill()
        sys.exit("relay did not start: %r" % line)
    return proc, int(line.split()[1])


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        part = s.recv(n - len(data))
        if not part:
            raise RuntimeError("connection closed after %d of %d bytes" % (len(data), n))
        data += part
    return data


def round_trips(port, count, size=100):
    times = []
    with connect(port) as s:
        for i in range(count):
            msg = bytes([i % 251]) * size
            start = time.monotonic()
            s.sendall(msg)
            if recv_exactly(s, size) != msg:
                raise RuntimeError("echo differs")
            times.append(time.monotonic() - start)
    return times


def main():
    failures = []
    echo_port = serve(echo)
    sink_port = serve(sink)
    procs = []
    try:
        rtt_ms = 40
        p, delayed = relay(echo_port, "--rtt-ms", str(rtt_ms))
        procs.append(p)
        direct = statistics.median(round_trips(echo_port, 20))
        through = statistics.median(round_trips(delayed, 20))
        added = (through - direct) * 1000
        print("round trip: direct %.2f ms, through relay %.2f ms, added %.1f ms (asked %d)"
              % (direct * 1000, through * 1000, added, rtt_ms))
        if not rtt_ms <= added <= rtt_ms * 1.25 + 2:
            failures.append("added round-trip time %.1f ms" % added)

        # Many connections at once, each with its own exchanges.
        results = []

        def client():
            try:
                results.append(max(round_trips(delayed, 5, 3000)))
            except Exception as e:  # noqa: BLE001 - reported below
                results.append(e)

        start = time.monotonic()
        threads = [threading.Thread(target=client) for _ in range(64)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        wall = time.monotonic() - start
        errors = [r for r in results if isinstance(r, Exception)]
        print("64 connections x 5 round trips: %.2f s wall, %d errors, slowest round trip %.1f ms"
              % (wall, len(errors), max([r for r in results if not isinstance(r, Exception)] or [0]) * 1000))
        if errors or len(results) != 64 or wall > 5 * rtt_ms / 1000 * 4:
            failures.append("concurrent connections: %s" % (errors[:1] or "too slow"))

        # Half close: everything sent before the close arrives, then the end.
        with connect(delayed) as s:
            payload = os.urandom(3 << 20)
            threading.Thread(target=lambda: (s.sendall(payload), s.shutdown(socket.SHUT_WR)), daemon=True).start()
            got = bytearray()
            while True:
                part = s.recv(1 << 20)
                if not part:
                    break
                got += part
        print("half close: %d of %d bytes back intact: %s" % (len(got), len(payload), got == payload))
        if got != payload:
            failures.append("half close lost data")

        # Throughput without delay, against the same transfer without relay;
        # reported only, as it depends on the machine's load.
        p, plain = relay(sink_port)
        procs.append(p)
        block = b"x" * (4 << 20)
        speeds = []
        for port in (sink_port, plain):
            with connect(port) as s:
                start = time.monotonic()
                for _ in range(64):
                    s.sendall(block)
                s.shutdown(socket.SHUT_WR)
                s.recv(64)
                speeds.append(256 / (time.monotonic() - start))
        print("throughput, 256 MiB one way: direct %.0f MiB/s, through relay %.0f MiB/s%s"
              % (speeds[0], speeds[1], "" if speeds[1] >= 125 else " (below 1 Gbit/s: figures may be capped)"))

        # Rate cap: 4 MiB one way at 2M takes about 2 s.
        p, capped = relay(sink_port, "--rate", "2M")
        procs.append(p)
        size = 4 << 20
        with connect(capped) as s:
            start = time.monotonic()
            s.sendall(os.urandom(size))
            s.shutdown(socket.SHUT_WR)
            answer = s.recv(64)
            wall = time.monotonic() - start
        print("rate cap 2M: %d bytes in %.2f s = %.2f MiB/s (server counted %s)"
              % (size, wall, size / wall / (1 << 20), answer.decode()))
        if answer.decode() != str(size) or not 1.8 <= wall <= 2.3:
            failures.append("rate cap: %.2f s" % wall)
    finally:
        for p in procs:
            p.kill()
            p.wait()
    if failures:
        print("FAILED: " + "; ".join(failures))
        return 1
    print("relay OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
