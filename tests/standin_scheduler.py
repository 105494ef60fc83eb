#!/usr/bin/env python3
"""A stand-in CUPS scheduler on 127.0.0.1 that answers Get-Jobs and
CUPS-Get-Printers well, or badly on purpose.

usage: standin_scheduler.py MODE|MODEFILE [PORT]

MODE says how each request is answered:
  normal       a few jobs or queues, Content-Length exact, connection kept
  long-length  the same with a Content-Length 4096 too large, then silence
  endless      a chunked Get-Jobs answer that streams jobs without end
  extra        a normal answer and, in the same write, a second whole one
               holding a job named "smuggled"
  silent       the request is read, and nothing ever sent
A file instead holds a mode and is read again for every request, so that a
test can change it on a kept connection. The port, a free one when none is
given, is printed on the first line.
"""
import os
import socket
import struct
import sys
import threading

MODES = ("normal", "long-length", "endless", "extra", "silent")

# id, user, name, KiB, state (3 pending, 4 held, 5 processing, 9 completed), queue
JOBS = [(1, "alice", "report", 12, 3, "lp1"), (2, "bob", "plan", 3, 4, "lp1"),
        (3, "carol", "long", 40, 5, "lp2"), (4, "dave", "quick", 1, 9, "lp1")]
# name, state (3 idle, 4 processing), accepting, reason, queued jobs
PRINTERS = [("lp1", 3, True, "none", 2), ("lp2", 4, True, "none", 1)]


def attr(tag, name, value):
    if isinstance(value, bool):
        data = bytes([value])
    elif isinstance(value, int):
        data = struct.pack(">i", value)
    else:
        data = value.encode()
    return struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(data)) + data


def job(job_id, user, name, kib, state, queue):
    return (b"\x02" + attr(0x21, "job-id", job_id) + attr(0x42, "job-originating-user-name", user)
            + attr(0x42, "job-name", name) + attr(0x21, "job-k-octets", kib)
            + attr(0x23, "job-state", state)
            + attr(0x45, "job-printer-uri", "ipp://localhost/printers/" + queue)
            + attr(0x21, "time-at-creation", 1700000000 + job_id) + attr(0x21, "job-priority", 50))


def printer(name, state, accepting, reason, count):
    return (b"\x04" + attr(0x42, "printer-name", name) + attr(0x23, "printer-state", state)
            + attr(0x22, "printer-is-accepting-jobs", accepting)
            + attr(0x44, "printer-state-reasons", reason) + attr(0x21, "queued-job-count", count))


def start(request_id, status=0):
    return (struct.pack(">BBHI", 2, 0, status, request_id) + b"\x01"
            + attr(0x47, "attributes-charset", "utf-8")
            + attr(0x48, "attributes-natural-language", "en"))


def http(body, length=None):
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: %d\r\n\r\n"
            % (len(body) if length is None else length) + body)


def chunk(data):
    return b"%x\r\n" % len(data) + data + b"\r\n"


def answer(operation, request_id, attrs):
    if operation == 0x4002:
        return start(request_id) + b"".join(printer(*p) for p in PRINTERS) + b"\x03"
    if operation == 0x000A:
        which = attrs.get("which-jobs", b"not-completed")
        rows = [job(*j) for j in JOBS if which == b"all" or (j[4] >= 7) == (which == b"completed")]
        return start(request_id) + b"".join(rows) + b"\x03"
    return start(request_id, 0x0501) + b"\x03"


def parse(body):
    operation, request_id = struct.unpack(">HI", body[2:8])
    attrs, i = {}, 8
    while i < len(body) and body[i] != 0x03:
        tag, i = body[i], i + 1
        if tag < 0x10:
            continue
        (n,) = struct.unpack(">H", body[i:i + 2])
        name, i = body[i + 2:i + 2 + n].decode(), i + 2 + n
        (n,) = struct.unpack(">H", body[i:i + 2])
        attrs.setdefault(name, body[i + 2:i + 2 + n])
        i += 2 + n
    return operation, request_id, attrs


class Connection:
    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError
        self.buf += data

    def until(self, mark):
        while mark not in self.buf:
            self.fill()
        part, self.buf = self.buf.split(mark, 1)
        return part

    def take(self, n):
        while len(self.buf) < n:
            self.fill()
        part, self.buf = self.buf[:n], self.buf[n:]
        return part

    def request(self):
        lines = self.until(b"\r\n\r\n").decode("latin-1").split("\r\n")[1:]
        fields = {k.strip().lower(): v.strip().lower() for k, _, v in (l.partition(":") for l in lines)}
        if fields.get("expect") == "100-continue":
            self.sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        if "chunked" not in fields.get("transfer-encoding", ""):
            return self.take(int(fields.get("content-length", "0")))
        body = b""
        while size := int(self.until(b"\r\n").split(b";")[0], 16):
            body += self.take(size)
            self.until(b"\r\n")
        self.until(b"\r\n")
        return body

    def hold(self):
        # Whatever else the client sends goes unanswered until it hangs up.
        while self.sock.recv(65536):
            pass


def mode_of(source):
    if source in MODES:
        return source
    with open(source) as f:
        return f.read().strip()


def serve(sock, source):
    conn = Connection(sock)
    try:
        while True:
            operation, request_id, attrs = parse(conn.request())
            mode = mode_of(source)
            body = answer(operation, request_id, attrs)
            if mode == "normal":
                sock.sendall(http(body))
            elif mode == "extra":
                # One write, so the client receives both with the first
                # response; the request id is the one its next request gets.
                smuggled = start(request_id + 1) + job(99, "mallory", "smuggled", 1, 3, "lp1") + b"\x03"
                sock.sendall(http(body) + http(smuggled))
            elif mode == "long-length":
                sock.sendall(http(body, len(body) + 4096))
                conn.hold()
            elif mode == "silent":
                conn.hold()
            elif mode == "endless":
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n"
                             b"Transfer-Encoding: chunked\r\n\r\n" + chunk(start(request_id)))
                # Made once, so that the client and not this script sets the pace.
                rows = chunk(b"".join(job(n, "eve", "row %d" % n, 1, 3, "lp1") for n in range(1000, 3000)))
                while True:
                    sock.sendall(rows)
            else:
                print("unknown mode %r" % mode, file=sys.stderr, flush=True)
                return
    except (EOFError, OSError):
        pass
    finally:
        sock.close()


def main():
    if len(sys.argv) not in (2, 3) or (sys.argv[1] not in MODES and not os.path.isfile(sys.argv[1])):
        sys.exit(__doc__.strip())
    server = socket.create_server(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) == 3 else 0))
    print(server.getsockname()[1], flush=True)
    while True:
        sock, _ = server.accept()
        threading.Thread(target=serve, args=(sock, sys.argv[1]), daemon=True).start()


if __name__ == "__main__":
    main()
