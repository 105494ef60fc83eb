#!/usr/bin/env python3
# A stand-in CUPS scheduler on 127.0.0.1 that answers Get-Jobs well, or
# badly on purpose, as MODEFILE says; the file is read again for each request,
# so a test changes the mode on a kept connection. Prints its port first.
#
#   normal       four jobs, Content-Length exact, connection kept
#   long-length  the same with a Content-Length 4096 too large, then silence
#   endless      a chunked answer that streams jobs without end
#   extra        a normal answer and, in the same write, a second whole one
#                holding a job named "smuggled"
#   silent       the request is read, and nothing ever sent
#
# usage: standin_scheduler.py MODEFILE
import socket
import struct
import sys
import threading

# id, user, name, state (3 pending, 4 held, 5 processing, 9 completed)
JOBS = [(1, "alice", "report", 3), (2, "bob", "plan", 4), (3, "carol", "long", 5), (4, "dave", "quick", 9)]


def attr(tag, name, value):
    data = struct.pack(">i", value) if isinstance(value, int) else value.encode()
    return struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(data)) + data


def job(job_id, user, name, state):
    return (b"\x02" + attr(0x21, "job-id", job_id) + attr(0x42, "job-originating-user-name", user)
            + attr(0x42, "job-name", name) + attr(0x21, "job-k-octets", 1) + attr(0x23, "job-state", state)
            + attr(0x45, "job-printer-uri", "ipp://localhost/printers/lp1")
            + attr(0x21, "time-at-creation", 1700000000 + job_id))


def answer(request_id, jobs):
    return (struct.pack(">BBHI", 2, 0, 0, request_id) + b"\x01" + attr(0x47, "attributes-charset", "utf-8")
            + attr(0x48, "attributes-natural-language", "en") + b"".join(job(*j) for j in jobs) + b"\x03")


def http(body, length=None):
    return b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: %d\r\n\r\n" % (
        len(body) if length is None else length) + body


def chunk(data):
    return b"%x\r\n" % len(data) + data + b"\r\n"


def serve(sock, mode_file):
    buf = b""

    def until(mark):  # the bytes before `mark`, which is consumed
        nonlocal buf
        while mark not in buf:
            data = sock.recv(65536)
            if not data:
                raise EOFError
            buf += data
        part, buf = buf.split(mark, 1)
        return part

    try:
        while True:
            head = until(b"\r\n\r\n").decode("latin-1").lower()
            if "100-continue" in head:
                sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            length = int(head.split("content-length:")[1].split("\r\n")[0])
            while len(buf) < length:
                buf += sock.recv(65536) or b"x" * length  # a hang-up ends the next until()
            body, buf = buf[:length], buf[length:]
            request_id = struct.unpack(">I", body[4:8])[0]
            which = "all" if b"\x00\x03all" in body else "not" if b"not-completed" in body else "completed"
            jobs = [j for j in JOBS if which == "all" or (j[3] >= 7) == (which == "completed")]
            with open(mode_file) as f:
                mode = f.read().strip()
            if mode == "normal":
                sock.sendall(http(answer(request_id, jobs)))
            elif mode == "extra":  # the next request's id, as libcups counts
                sock.sendall(http(answer(request_id, jobs))
                             + http(answer(request_id + 1, [(99, "mallory", "smuggled", 3)])))
            elif mode in ("long-length", "silent"):
                if mode == "long-length":
                    sock.sendall(http(answer(request_id, jobs), len(answer(request_id, jobs)) + 4096))
                while sock.recv(65536):  # nothing more is answered until the client hangs up
                    pass
            elif mode == "endless":
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n"
                             + chunk(answer(request_id, [])[:-1]))
                rows = chunk(b"".join(job(n, "eve", "row %d" % n, 3) for n in range(1000, 3000)))
                while True:  # made once: the client, not this script, sets the pace
                    sock.sendall(rows)
    except (EOFError, OSError, IndexError, ValueError):
        pass
    finally:
        sock.close()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: standin_scheduler.py MODEFILE")
    server = socket.create_server(("127.0.0.1", 0))
    print(server.getsockname()[1], flush=True)
    while True:
        sock, _ = server.accept()
        threading.Thread(target=serve, args=(sock, sys.argv[1]), daemon=True).start()


if __name__ == "__main__":
    main()
