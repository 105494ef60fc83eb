#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/. The seeds are checked in;
run this again only to change them: python3 fuzz/make_seeds.py"""
import hashlib
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def conf():
    seeds = [
        "printctl\n/usr/spool/print/\n/usr/spool/tarvo/requests/\n",
        "# comment\n\n   # indented comment\nprintctl\n/p/\n/q/\n",
        "printctl /p/ /q/\n\n\n",
        "\"print ctl\"\n\"/p dir/\"\n\"/q/\"\n",
        "a,b,c\n#x\n#y\n",
        "host # trailing\n/p/ # c\n/q/\n",
        "h\t\n /p/\n/q/",
        "\"unclosed\n/p/\n/q/\n",
        "h\n" + "/" + "p" * 140 + "/\n/q/\n",
        "x" * 40 + "\n/p/\n/q/\n",
        " ".join("f%d" % i for i in range(21)) + "\n/p/\n/q/\n",
        "h\r\n/p/\r\n/q/\r\n",
        "h\x00x\n/p/\n/q/\n",
        ",,,\n,\n,\n",
    ]
    for s in seeds:
        write("conf", s)


def image(control, reply, request, args, count=None):
    """The request file the client writes for `args`."""
    def field(s, n):
        return (s[:n] + " " * n)[:n] + "\0"
    line = request[:13]
    for a in args[:14]:
        line += ' "' + a + '"'
    if count is None:
        count = min(len(args), 14) + 1
    return (field(control, 14) + field(reply, 14) + field(request[:13], 14) +
            field(str(count), 6) + field(line, 79))


REQUESTS = [
    ("prwatch", []),
    ("prwatch", ["-l"]),
    ("prwatch", ["-lv", "-e"]),
    ("prwatch", ["-p", "lp*", "-s", "error", "-a", "2h"]),
    ("prwatch", ["-j", "meeting notes", "-n", "3"]),
    ("prwatch", ["-i", "1041", "-S", "queued", "-A", "90"]),
    ("prwatch", ["-?"]),
    ("prwatch", ["-x"]),
    ("prwatch", ["-j", 'say "hi"', "-p", "[lp]?"]),
    ("prwatch", ["-j", 'a" "b']),
    ("prwatch", ["-j", "n" * 70, "-l"]),
    ("prwatch", ["-lv"] * 14),
    ("prwatch", ["-j", "\x1b[31m\x7f", "Z\xc3\xbcrich"]),
    ("prbay", []),
    ("prbay", ["-l"]),
    ("prbay", ["-p", "plot*"]),
    ("prbay", ["-?"]),
    ("lpstat", ["-l"]),
]


def controller_request():
    for request, args in REQUESTS:
        write("controller_request", image("sprAb12Cd", "4c5d7bws101f4", request, args))
    good = image("sprAb12Cd", "4c5d7b", "prwatch", ["-l"])
    write("controller_request", good[:100])
    write("controller_request", good + "x")
    write("controller_request", good[:45] + "99    " + good[51:])
    write("controller_request", good[:15] + "../etc/passwd " + good[29:])


def fdp_string(s):
    """`s` as FuzzedDataProvider's ConsumeRandomLengthString reads it."""
    return s.replace("\\", "\\\\") + "\\ "


def request_roundtrip():
    for request, args in REQUESTS:
        front = fdp_string(request) + "".join(fdp_string(a) for a in args)
        # Consumed from the end, last byte first: the six control name
        # characters, pid (3 bytes), seconds (4), milliseconds (2), counter
        # (4), the host's length and characters, then the argument count.
        host = b"ws7"
        tail = (bytes([len(args) % 15]) + bytes(reversed(host)) + bytes([len(host)]) +
                bytes([0x12, 0x34, 0x56, 0x78]) + bytes([0x01, 0xF4]) +
                bytes([0x66, 0x31, 0x8A, 0x40]) + bytes([0x00, 0x30, 0x39]) +
                bytes([1, 2, 3, 4, 5, 6]))
        write("request_roundtrip", front.encode("latin-1") + tail)


def controller_state():
    with open(os.path.join(HERE, "..", "prcontroller", "sample-state"), encoding="utf-8") as f:
        sample = f.read()
    write("controller_state", sample.encode("utf-8"))
    for head in ["prwatch -l", "prwatch -v -s error", "prwatch -a 1d -n 2 -j *.pdf",
                 "prbay -l", "prbay -p l*"]:
        write("controller_state", ("#!" + head + "\n" + sample).encode("utf-8"))
    write("controller_state",
          'queue "q\\x1b]0;t\\x07" ready "\\e[2J"\n'
          'job 1 "q\\x1b]0;t\\x07" "\\xff\\xfe" done 1 1 2024-05-01T09:30 "\\342\\200\\256evil"\n'
          "job 2 q held 18446744073709551615 99999999999999999999 -99999999999d \"x\"\n"
          "job 3 q printing 1 1 1714555800 \"\\377\\n\\t\"\n"
          "queue\njob\nqueue a b \"c\" d\njob \"unterminated\n")


if __name__ == "__main__":
    shutil.rmtree(CORPUS, ignore_errors=True)
    conf()
    controller_request()
    request_roundtrip()
    controller_state()
