#!/usr/bin/env python3
"""Hostile peers for bench/hostile-load.sh: the attacks on the update server
run together, each loop bounded, for SECONDS; prints one summary line per
attack at the end.

    hostile-peers.py PORT METRICS_PORT SECONDS

Expects in the served tree: big.bin (a few MiB or more), small.txt, and
huge.bin (beyond what a packed file can hold)."""
import os
import signal
import socket
import struct
import sys
import threading
import time
import zlib

SIG = 0x04080901
VERSION = 0x00010005


def tag(text):
    return struct.unpack("<I", text.encode())[0]


INIT, FILE, STRM, SGET, SACK, SREP, GETS, GET, NRMP, QUIT = (
    tag(t) for t in ("Init", "File", "Strm", "SGet", "SAck", "SRep", "GetS", "Get ", "NrmP", "Quit"))
ACSS, SDAT, SINF, FSUM, BUSY = (tag(t) for t in ("Acss", "SDat", "SInf", "FSum", "Busy"))


def frame(packet):
    return packet.replace(b"\xc5", b"\xc5\xc5").replace(b"\xc1", b"\xc5\xd5") + b"\xc1"


class Peer:
    def __init__(self, port, source="127.0.0.1", rcvbuf=0):
        self.s = socket.socket()
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.s.bind((source, 0))
        self.s.settimeout(30)
        self.s.connect(("127.0.0.1", port))
        self.buf = b""

    def send(self, packet):
        self.s.sendall(frame(packet))

    def recv(self):
        """The next packet's tag and bytes; (0, b"") when the connection ends."""
        while b"\xc1" not in self.buf:
            try:
                chunk = self.s.recv(65536)
            except OSError:
                return 0, b""
            if not chunk:
                return 0, b""
            self.buf += chunk
        raw, self.buf = self.buf.split(b"\xc1", 1)
        p = raw.replace(b"\xc5\xd5", b"\xc1").replace(b"\xc5\xc5", b"\xc5")
        return (struct.unpack_from("<I", p, 4)[0] if len(p) >= 8 else 1), p

    def open(self, stream=False):
        self.send(struct.pack("<4I", SIG, INIT, FILE, VERSION))
        t, p = self.recv()
        if t != INIT or struct.unpack_from("<I", p, 12)[0] != tag("Acpt"):
            return False
        if self.recv()[0] != tag("PswK"):
            return False
        if stream:
            self.send(struct.pack("<4I", SIG, STRM, 1, 1 << 20))
            return self.recv()[0] == STRM
        return True

    def close(self):
        try:
            self.s.close()
        except OSError:
            pass


def sget(name, offset, length, credit):
    return struct.pack("<2I3Q", SIG, SGET, offset, length, credit) + name.encode() + b"\0"


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def most(self, key, value):
        with self.lock:
            self.counts[key] = max(self.counts.get(key, 0), value)


stats = Stats()
PORT, METRICS, SECONDS = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
END = time.time() + SECONDS
MAX_ROUNDS = 200  # reconnections per attacking thread


def until_end(pause):
    """Sleeps pause seconds or up to the end; False once the end has come."""
    left = END - time.time()
    if left <= 0:
        return False
    time.sleep(min(pause, left))
    return time.time() < END


def descriptors(big_size):
    """One range sent whole and never acknowledged, 1,024 empty ranges behind
    it, an "SAck" of no progress every 20 s."""
    for _ in range(MAX_ROUNDS):
        if time.time() >= END:
            return
        try:
            p = Peer(PORT)
            if not p.open(stream=True):
                stats.add("descriptors: refused")
                p.close()
                until_end(1)
                continue
            p.send(sget("big.bin", 0, big_size, big_size))
            for _ in range(1024):
                p.send(sget("small.txt", 0, 0, 0))
            stop = threading.Event()

            def drain():
                while p.recv()[0] != 0:
                    pass
                stop.set()

            threading.Thread(target=drain, daemon=True).start()
            while not stop.is_set() and until_end(20):
                p.send(struct.pack("<2I2Q", SIG, SACK, 0, big_size))
            stats.add("descriptors: sessions closed by the server" if stop.is_set() else "descriptors: held to the end")
            p.close()
        except OSError:
            stats.add("descriptors: connection errors")
            until_end(1)


def checksums(source):
    """A session that asks for the list's checksum every 20 s and nothing else."""
    for _ in range(MAX_ROUNDS):
        if time.time() >= END:
            return
        try:
            p = Peer(PORT, source)
            if not p.open():
                stats.add("slots: busy or refused")
                p.close()
                until_end(2)
                continue
            stats.add("slots: sessions opened")
            while True:
                p.send(struct.pack("<2I", SIG, GETS) + b"list\0")
                if p.recv()[0] != FSUM:
                    stats.add("slots: sessions closed by the server")
                    break
                if not until_end(20):
                    break
            p.close()
        except OSError:
            stats.add("slots: connection errors")
            until_end(2)


def never_read(big_size):
    """A streamed request with a large credit, and nothing ever read."""
    for _ in range(MAX_ROUNDS):
        if time.time() >= END:
            return
        try:
            p = Peer(PORT, "127.0.0.4", rcvbuf=4096)
            if not p.open(stream=True):
                stats.add("never reading: busy or refused")
                p.close()
                until_end(2)
                continue
            p.send(sget("big.bin", 0, big_size, big_size))
            p.s.settimeout(1)
            closed = False
            while until_end(1):
                try:
                    if p.s.recv(1, socket.MSG_PEEK) == b"":
                        closed = True
                        break
                except socket.timeout:
                    pass
                except OSError:
                    closed = True
                    break
                # Held: the peer reads nothing; only an end is noticed.
            stats.add("never reading: sessions closed by the server" if closed else "never reading: held to the end")
            p.close()
        except OSError:
            stats.add("never reading: connection errors")
            until_end(2)


def whole_file():
    """A base "Get " of a file too large to pack, again and again."""
    for _ in range(MAX_ROUNDS):
        if time.time() >= END:
            return
        try:
            p = Peer(PORT, "127.0.0.5")
            if p.open():
                name = b"huge.bin"
                p.send(struct.pack("<6I", SIG, GET, NRMP, len(name), 0, zlib.crc32(name)) + name)
                started = time.time()
                t = p.recv()[0]
                stats.most("whole file: slowest refusal, ms", int((time.time() - started) * 1000))
                stats.add("whole file: refused" if t == ACSS else "whole file: answered otherwise")
            p.close()
        except OSError:
            stats.add("whole file: connection errors")
        until_end(1)


def repeats(big_size):
    """20 "SRep" of segment 0 in a row; counts how many the server took."""
    for _ in range(MAX_ROUNDS):
        if time.time() >= END:
            return
        try:
            p = Peer(PORT, "127.0.0.6")
            if not p.open(stream=True):
                p.close()
                until_end(2)
                continue
            p.send(sget("big.bin", 0, big_size, 1 << 20))
            taken = 0
            ok = p.recv()[0] == SINF
            for i in range(21):
                # Reads segment 0 to its end, then asks for it again.
                while ok:
                    t, pk = p.recv()
                    if t != SDAT:
                        ok = False
                        break
                    chunk_end = struct.unpack_from("<I", pk, 28)[0] + len(pk) - 36
                    if chunk_end == struct.unpack_from("<I", pk, 20)[0]:
                        break
                if ok and i > 0:
                    taken += 1
                if not ok or i == 20:
                    break
                p.send(struct.pack("<2IQ", SIG, SREP, 0))
            stats.most("repeats: most taken in a row", taken)
            p.close()
        except OSError:
            stats.add("repeats: connection errors")
        until_end(1)


def metrics():
    """15 idle connections to the metrics port, and the scrape time meanwhile."""
    idle = []
    worst = 0.0
    while until_end(0.5):
        idle = [s for s in idle if s.fileno() >= 0]
        while len(idle) < 15:
            try:
                s = socket.create_connection(("127.0.0.1", METRICS), timeout=5)
                idle.append(s)
            except OSError:
                break
        started = time.time()
        try:
            s = socket.create_connection(("127.0.0.1", METRICS), timeout=15)
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            while s.recv(65536):
                pass
            s.close()
        except OSError:
            stats.add("metrics: failed scrapes")
        worst = max(worst, time.time() - started)
        for s in idle[:]:
            # Idle ones the server closed are replaced.
            s.setblocking(False)
            try:
                if s.recv(1) == b"":
                    s.close()
                    idle.remove(s)
            except BlockingIOError:
                pass
            except OSError:
                s.close()
                idle.remove(s)
            else:
                pass
    stats.most("metrics: slowest scrape, ms", int(worst * 1000))


def report(*_):
    for key in sorted(stats.counts):
        print(f"  {key}: {stats.counts[key]}")
    sys.stdout.flush()
    os._exit(0)


def main():
    signal.signal(signal.SIGTERM, report)
    p = Peer(PORT)
    p.open(stream=True)
    p.send(sget("big.bin", 0, 0, 0))
    t, pk = p.recv()
    big_size = struct.unpack_from("<Q", pk, 8)[0] if t == SINF else 4 << 20
    p.close()
    threads = [threading.Thread(target=descriptors, args=(big_size,)) for _ in range(4)]
    threads += [threading.Thread(target=checksums, args=(src,)) for src in ("127.0.0.2", "127.0.0.3") for _ in range(32)]
    threads += [threading.Thread(target=never_read, args=(big_size,)) for _ in range(16)]
    threads += [threading.Thread(target=whole_file)]
    threads += [threading.Thread(target=repeats, args=(big_size,)) for _ in range(4)]
    if METRICS:
        threads += [threading.Thread(target=metrics)]
    for t in threads:
        t.daemon = True
        t.start()
    for t in threads:
        while t.is_alive() and time.time() < END + 45:
            t.join(0.5)
    report()


if __name__ == "__main__":
    main()
