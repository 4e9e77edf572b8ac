#!/usr/bin/env python3
"""Whether the metrics endpoint answers while slow and idle HTTP clients hold what they may.

usage: slow_http_clients.py [SECONDS] [METRICS_PORT]

Clients from 16 loopback addresses (127.0.0.10 to 127.0.0.25) hold 4 connections each: those of
every other address send one byte a second, the others send nothing; each reconnects when the
server closes it. Meanwhile a probe from 127.0.0.200 asks /metrics and /healthz every 250 ms,
each with 1 s to answer, as a Prometheus scrape and a Kubernetes probe would. Prints, per path,
how many were answered 200 and the slowest answer. Loopback only; the server must be running.
"""
import socket
import sys
import threading
import time

ADDRESSES, PER_ADDRESS, PROBE_FROM, LIMIT = 16, 4, "127.0.0.200", 1.0


def connect(source, port):
    sock = socket.socket()
    sock.settimeout(LIMIT)
    sock.bind((source, 0))
    try:
        sock.connect(("127.0.0.1", port))
        sock.setblocking(False)
        return sock
    except OSError:
        sock.close()
        return None


def hold_slow_clients(port, stop):
    slots = [["127.0.0.%d" % (10 + a), a % 2 == 0, None]
             for a in range(ADDRESSES) for _ in range(PER_ADDRESS)]
    while not stop.is_set():
        for slot in slots:
            try:
                if slot[2] is not None and slot[2].recv(1) == b"":
                    slot[2].close()
                    slot[2] = None
            except BlockingIOError:
                pass
            except OSError:
                slot[2] = None
            if slot[2] is None:
                slot[2] = connect(slot[0], port)
            if slot[1] and slot[2] is not None:
                try:
                    slot[2].send(b"G")
                except OSError:
                    pass
        stop.wait(1)


def probe(port, path):
    started = time.monotonic()
    sock = connect(PROBE_FROM, port)
    if sock is None:
        return None
    try:
        sock.setblocking(True)
        sock.settimeout(LIMIT)
        sock.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    except OSError:
        return None
    finally:
        sock.close()
    return time.monotonic() - started if reply.startswith(b"HTTP/1.1 200") else None


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 9666
    stop = threading.Event()
    holder = threading.Thread(target=hold_slow_clients, args=(port, stop))
    holder.start()
    time.sleep(1)
    answers = {"/metrics": [], "/healthz": []}
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for path, times in answers.items():
            times.append(probe(port, path))
        time.sleep(0.25)
    stop.set()
    holder.join()
    for path, times in answers.items():
        answered = [t for t in times if t is not None]
        slowest = "%.0f" % (1000 * max(answered)) if answered else "n/a"
        print("path=%s answered=%d asked=%d slowest_ms=%s" % (path, len(answered), len(times), slowest))


if __name__ == "__main__":
    main()
