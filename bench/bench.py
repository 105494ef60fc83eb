#!/usr/bin/env python3
"""Runs the benchmarks on this machine and writes performance.md and
performance.png. bench/run builds the programs and calls this; see there for
the options.

Every figure is measured in this run and compared with a floor measured in
the same run, with the same harness, interleaved with it: absolute times
drift on a shared machine, ratios much less.
"""

import argparse
import datetime
import getpass
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

FULL = dict(poll=2000, start=1000, hwm=20, turnaround=1000, e2e=200, default=5,
            cups=200, load=[50, 200, 500], huge_jobs=100000, remote=100)
SMOKE = dict(poll=20, start=20, hwm=2, turnaround=20, e2e=10, default=1,
             cups=5, load=[5, 10], huge_jobs=2000, remote=2)


# Held jobs on the scheduler the CUPS comparison and the bridge ask.
CUPS_JOBS = 100


class BenchError(Exception):
    pass


# ---- statistics --------------------------------------------------------------

def pct(values, p):
    """The p-th percentile, nearest rank."""
    if not values:
        raise BenchError("no samples")
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(-(-p * len(s) // 100)) - 1))
    return s[k]


def summary(values):
    return dict(n=len(values), median=statistics.median(values), p95=pct(values, 95),
                p99=pct(values, 99), min=min(values), max=max(values),
                mean=statistics.fmean(values))


# ---- processes ---------------------------------------------------------------

def run(args, timeout, **kw):
    try:
        r = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired as e:
        raise BenchError(f"{args[0]} took longer than {timeout} s") from e
    if r.returncode != 0:
        raise BenchError(f"{' '.join(map(str, args))} exited {r.returncode}: {r.stderr.strip()}")
    return r.stdout


def rows(text):
    return [line.split("\t") for line in text.splitlines() if line]


def cpu_ns(pid):
    """CPU time the process has used so far, in nanoseconds."""
    try:
        with open(f"/proc/{pid}/schedstat") as f:
            return int(f.read().split()[0])
    except OSError:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 10**9 // os.sysconf("SC_CLK_TCK")


def stop(proc):
    """Ends a server this script started, by its pid."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def ipp_attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def receive(sock):
    data = sock.recv(65536)
    if not data:
        raise BenchError("cupsd closed the connection during a Get-Jobs")
    return data


def scheduler_exchanges(port, n):
    """Times n bare Get-Jobs exchanges on one kept connection, asking for what
    the bridge asks: the scheduler's own share of a bridge answer. In µs."""
    wanted = ["job-id", "job-originating-user-name", "job-name", "job-k-octets", "job-state",
              "job-printer-uri", "time-at-creation", "copies", "job-impressions"]
    times = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i in range(n):
            body = (struct.pack(">BBHI", 2, 0, 0x000A, i + 1) + b"\x01"
                    + ipp_attribute(0x47, "attributes-charset", "utf-8")
                    + ipp_attribute(0x48, "attributes-natural-language", "en")
                    + ipp_attribute(0x45, "printer-uri", "ipp://localhost/")
                    + ipp_attribute(0x42, "requesting-user-name", getpass.getuser())
                    + ipp_attribute(0x44, "which-jobs", "not-completed")
                    + ipp_attribute(0x44, "requested-attributes", wanted[0])
                    + b"".join(ipp_attribute(0x44, "", w) for w in wanted[1:]) + b"\x03")
            message = (f"POST / HTTP/1.1\r\nHost: localhost:{port}\r\n"
                       f"Content-Type: application/ipp\r\nContent-Length: {len(body)}\r\n\r\n"
                       ).encode() + body
            start = time.perf_counter()
            s.sendall(message)
            got = b""
            while b"\r\n\r\n" not in got:
                got += receive(s)
            head, rest = got.split(b"\r\n\r\n", 1)
            length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
            while (len(rest) < int(length[1]) if length else not rest.endswith(b"0\r\n\r\n")):
                rest += receive(s)
            times.append((time.perf_counter() - start) * 1e6)
            if not head.startswith(b"HTTP/1.1 200"):
                raise BenchError("cupsd answered a bare Get-Jobs with "
                                 + head.split(b"\r")[0].decode())
            time.sleep(0.01)
    return times


# ---- the bench ---------------------------------------------------------------

class Bench:
    def __init__(self, root, build, counts, log):
        self.root = root
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.variants = os.path.join(build, "bench-bin")
        self.area = os.path.join(build, "area")
        self.requests = os.path.join(self.area, "requests")
        self.counts = counts
        self.log = log
        self.controller = None
        self.controller_log = os.path.join(self.area, "controller.log")
        self.results = {}
        self.started = time.monotonic()

    def say(self, text):
        print(f"bench: {time.monotonic() - self.started:5.1f} s  {text}", file=self.log,
              flush=True)

    def prbench(self, *args, timeout=600):
        return rows(run([os.path.join(self.bin, "prbench"), *map(str, args)], timeout))

    def spawn(self, rounds, commands, timeout=900, warm=True):
        """Runs labelled commands in turn; {label: [(us, maxrss_kib, status)]}."""
        listing = os.path.join(self.area, "commands")
        with open(listing, "w") as f:
            for label, argv in commands:
                f.write("\t".join([label, *map(str, argv)]) + "\n")
        out = {label: [] for label, _ in commands}
        extra = [] if warm else ["cold"]
        for label, us, rss, status in self.prbench("spawn", rounds, listing, *extra,
                                                   timeout=timeout):
            out[label].append((float(us), int(rss), int(status)))
        return out

    @staticmethod
    def times(samples, label, want_status):
        bad = [s for s in samples[label] if s[2] != want_status]
        if bad:
            raise BenchError(f"{label}: {len(bad)} of {len(samples[label])} runs exited "
                             f"{bad[0][2]}, not {want_status}")
        return [s[0] for s in samples[label]]

    # -- set-up

    def prepare(self):
        shutil.rmtree(self.area, ignore_errors=True)
        for d in ("spool", "requests", "scratch", "remote"):
            os.makedirs(os.path.join(self.area, d))
        os.chmod(os.path.join(self.area, "spool"), 0o1777)
        with open(os.path.join(self.area, "cconf"), "w") as f:
            f.write(f"# The benchmark's controller runs on this host.\n{socket.gethostname()}\n"
                    f"{self.area}/print/\n{self.requests}/\n")
        with open(os.path.join(self.area, "request-sample"), "wb") as f:
            f.write(b"x" * 132)
        os.makedirs(os.path.join(self.build, "bench-missing"), exist_ok=True)
        missing = os.path.join(self.build, "bench-missing", "cconf")
        if os.path.exists(missing):
            os.unlink(missing)

    def start_controller(self, source=None, log="controller.log"):
        """The controller on the request directory, by default with the sample state."""
        self.controller_log = os.path.join(self.area, log)
        self.log_file = open(self.controller_log, "w")
        source = source or ["--state", os.path.join(self.root, "prcontroller", "sample-state")]
        self.controller = subprocess.Popen(
            [os.path.join(self.bin, "prcontroller"), "--dir", self.requests, *source],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log_file)
        deadline = time.monotonic() + 10
        while "serving" not in open(self.controller_log).read():
            if self.controller.poll() is not None or time.monotonic() > deadline:
                raise BenchError("prcontroller did not start: " + open(self.controller_log).read())
            time.sleep(0.02)
        self.say(f"prcontroller pid {self.controller.pid} serves {self.requests}")

    def log_mark(self):
        return os.path.getsize(self.controller_log)

    ANSWER = re.compile(r"answered (\S+) \(.*\) as (\S+): status (-?\d+), (\d+) us")

    def answers(self, mark):
        """(request, reply, status, us) for each answer logged since `mark`."""
        with open(self.controller_log) as f:
            f.seek(mark)
            found = [self.ANSWER.search(line) for line in f]
        return [(m[1], m[2], int(m[3]), int(m[4])) for m in found if m]

    def settle(self, mark, expect, limit=15):
        """Waits until the controller has logged `expect` answers since `mark`."""
        deadline = time.monotonic() + limit
        while len(self.answers(mark)) < expect and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)

    def prwatch(self, *args):
        return [os.path.join(self.bin, "prwatch"), *args]

    # -- 1. per-poll cost

    def poll(self):
        n = self.counts["poll"]
        self.say(f"per-poll cost, {n} rounds")
        out = self.prbench("poll", n, socket.gethostname(), os.path.join(self.area, "remote"),
                           os.path.join(self.area, "scratch"))
        samples = {}
        commands = {}
        for r in out:
            if r[0] == "command":
                commands[r[1]] = r[2]
            else:
                samples.setdefault(r[0], []).append(float(r[1]))
        s = {k: summary(v) for k, v in samples.items()}
        # Each round ran every case once, so the library's poll and the bare
        # command of the same round can be paired.
        paired = {}
        for op in ("from", "to"):
            pairs = list(zip(samples[f"{op}_lib"], samples[f"{op}_cp"]))
            paired[op] = dict(median_ratio=statistics.median(a / b for a, b in pairs),
                              slower_share=sum(1 for a, b in pairs if a > b) / len(pairs),
                              median_difference_us=statistics.median(a - b for a, b in pairs))
        self.results["poll"] = dict(stats=s, commands=commands, rounds=n, paired=paired)

    # -- 2. start-up and memory

    def startup(self):
        n = self.counts["start"]
        self.say(f"start-up, {n} rounds")
        v = self.variants
        commands = [("c_hello", [os.path.join(self.bin, "bench_hello")]),
                    ("c_hello_static", [os.path.join(self.bin, "bench_hello_static")])]
        for mode in ("dynamic", "runtime", "static"):
            commands.append((f"prwatch_{mode}", [os.path.join(v, f"prwatch_{mode}_missing")]))
        out = self.spawn(n, commands)
        stats = {}
        for label, _ in commands:
            stats[label] = summary(self.times(out, label, 0 if label.startswith("c_") else 255))
        sizes = {f"prwatch_{mode}": os.path.getsize(os.path.join(v, f"prwatch_{mode}_missing"))
                 for mode in ("dynamic", "runtime", "static")}
        self.results["startup"] = dict(stats=stats, rounds=n, sizes=sizes)

    def memory(self):
        n = self.counts["hwm"]
        self.say(f"peak memory, {n} runs each")
        res = {}
        query = ["-nwait", "0", "-ntries", "1000"]
        cases = [("c_hello", [os.path.join(self.bin, "bench_hello")], 0)]
        for mode in ("dynamic", "runtime", "static"):
            cases.append((f"prwatch_{mode}",
                          [os.path.join(self.variants, f"prwatch_{mode}_configured"), *query], 0))
        cases.append(("cp_fetch", ["cp", os.path.join(self.area, "reply-sample"),
                                   os.path.join(self.area, "scratch", "fetched")], 0))
        for label, argv, want in cases:
            out = self.prbench("hwm", n, label, *argv, timeout=300)
            hwm = [int(r[1]) for r in out]
            tree = [int(r[2]) for r in out]
            if any(int(r[3]) != want for r in out) or min(hwm) <= 0:
                raise BenchError(f"{label}: peak memory run failed: {out}")
            res[label] = dict(hwm_kib=max(hwm), hwm_median_kib=statistics.median(hwm),
                              tree_kib=max(tree))
        cp = shutil.which("cp")
        libs = [line.split()[0] for line in run(["ldd", cp], 30).splitlines() if "=>" in line]
        self.results["memory"] = dict(stats=res, runs=n, cp_libraries=libs)

    # -- 5a. controller turnaround (before the others: it also saves a reply)

    def turnaround(self):
        n = self.counts["turnaround"]
        self.say(f"controller turnaround, {n} requests")
        mark = self.log_mark()
        before = cpu_ns(self.controller.pid)
        out = self.prbench("turnaround", n, self.requests,
                           os.path.join(self.area, "reply-sample"))
        self.settle(mark, n)
        cpu = cpu_ns(self.controller.pid) - before
        logged = self.answers(mark)
        if len(logged) != n or any(a[2] != 0 for a in logged):
            raise BenchError(f"turnaround: {len(logged)} answers logged for {n} requests")
        self.results["turnaround"] = dict(
            logged=summary([a[3] for a in logged]),
            external=summary([float(r[1]) for r in out if r[0] == "turnaround"]),
            cpu_us_per_request=cpu / 1000 / n, requests=n)
        shutil.copy(os.path.join(self.area, "reply-sample"),
                    os.path.join(self.requests, "bench-reply"))

    # -- 5c. a listing with one huge job name, and a stop behind a queue of them

    def huge_listing(self):
        n = self.counts["huge_jobs"]
        self.say(f"listing {n} jobs, one named with 1 MiB")
        area = os.path.join(self.area, "huge")
        requests = os.path.join(area, "requests")
        os.makedirs(requests, exist_ok=True)
        state = os.path.join(area, "state")
        with open(state, "w") as f:
            f.write("queue q1 ready\n")
            f.writelines(f'job {i} q1 ann queued 1 1 -1m "job{i}"\n' for i in range(n - 1))
            f.write('job big q1 ann queued 1 1 -1m "' + "x" * 2**20 + '"\n')
        log_path = os.path.join(area, "controller.log")
        with open(log_path, "w") as log:
            proc = subprocess.Popen(
                [os.path.join(self.bin, "prcontroller"), "--dir", requests, "--state", state,
                 "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        burst = None
        try:
            deadline = time.monotonic() + 60
            while "serving" not in open(log_path).read():
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise BenchError("prcontroller did not start: " + open(log_path).read())
                time.sleep(0.05)
            out = self.prbench("turnaround", 5, requests, os.path.join(area, "reply"))
            listing = [float(r[1]) for r in out if r[0] == "turnaround"]
            # Listings queued one after another; the stop must not wait for them.
            burst = subprocess.Popen([os.path.join(self.bin, "prbench"), "turnaround", "1000",
                                      requests, os.path.join(area, "reply")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            start = time.monotonic()
            os.kill(proc.pid, signal.SIGTERM)
            proc.wait(timeout=30)
            stop_s = time.monotonic() - start
        finally:
            stop(proc)
            if burst is not None:
                stop(burst)
        self.results["huge_listing"] = dict(jobs=n, name_bytes=2**20, reply_bytes=os.path.getsize(
            os.path.join(area, "reply")), listing=summary(listing), stop_s=stop_s)

    # -- 3. end-to-end latency

    def end_to_end(self):
        n = self.counts["e2e"]
        self.say(f"end-to-end queries, {n} rounds")
        mark = self.log_mark()
        commands = [
            ("query", self.prwatch("-nwait", "0", "-ntries", "1000")),
            ("send", ["/usr/bin/cp", os.path.join(self.area, "request-sample"),
                      os.path.join(self.requests, "bench-send")]),
            ("fetch", ["cp", os.path.join(self.requests, "bench-reply"),
                       os.path.join(self.area, "scratch", "fetched")]),
            # The same query allowed a single poll: it exits 0 when that
            # poll found the reply, 255 when the reply came later.
            ("single", self.prwatch("-nwait", "0", "-ntries", "1")),
        ]
        out = self.spawn(n, commands)
        # One warm-up run of each query came before the rounds.
        self.settle(mark, 2 * (n + 1))
        logged_all = self.answers(mark)
        if len(logged_all) != 2 * (n + 1):
            raise BenchError(f"end-to-end: {len(logged_all)} answers logged for "
                             f"{2 * (n + 1)} queries")
        logged = [a[3] for a in logged_all]
        single = [s[2] for s in out["single"]]
        if any(st not in (0, 255) for st in single):
            raise BenchError(f"end-to-end: a single-poll query exited {single}")
        q = summary(self.times(out, "query", 0))
        send = summary(self.times(out, "send", 0))
        fetch = summary(self.times(out, "fetch", 0))
        turn = summary(logged)
        floor = send["median"] + fetch["median"] + turn["median"]
        floor95 = send["p95"] + fetch["p95"] + turn["p95"]
        self.results["e2e"] = dict(query=q, send=send, fetch=fetch, turnaround=turn,
                                   floor=floor, floor95=floor95, rounds=n,
                                   first_poll=sum(1 for st in single if st == 0))

    def default_query(self):
        n = self.counts["default"]
        self.say(f"default query (-nwait 5), {n} runs")
        out = self.spawn(n, [("default", self.prwatch())], timeout=60 + 30 * n, warm=False)
        self.results["default"] = dict(query=summary(self.times(out, "default", 0)), runs=n)

    # -- 4. against a local CUPS scheduler

    def cups(self):
        tools = {t: shutil.which(t) or (os.path.exists(f"/usr/sbin/{t}") and f"/usr/sbin/{t}")
                 for t in ("cupsd", "lpstat", "lpq", "lp")}
        missing = [t for t, path in tools.items() if not path]
        if missing:
            why = (f"{', '.join(missing)} not installed (Debian packages cups-daemon, "
                   f"cups-client, cups-bsd)")
            self.say(f"CUPS comparison skipped: {why}")
            self.results["cups"] = dict(skipped=why)
            return
        n = self.counts["cups"]
        self.say(f"CUPS comparison, {n} rounds")
        base = os.path.join(self.area, "cups")
        dirs = {d: os.path.join(base, d) for d in ("conf", "spool", "cache", "state", "log", "tmp")}
        for d in dirs.values():
            os.makedirs(d, mode=0o755)
        port = free_port()
        with open(os.path.join(dirs["conf"], "cupsd.conf"), "w") as f:
            f.write(f"""Listen 127.0.0.1:{port}
LogLevel warn
DefaultAuthType None
WebInterface No
Browsing No
BrowseLocalProtocols none
DefaultShared No
PreserveJobHistory Yes
<Location />
  Order allow,deny
  Allow 127.0.0.1
</Location>
<Policy default>
  JobPrivateAccess default
  JobPrivateValues default
  SubscriptionPrivateAccess default
  SubscriptionPrivateValues default
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
""")
        with open(os.path.join(dirs["conf"], "cups-files.conf"), "w") as f:
            f.write(f"""ServerRoot {dirs['conf']}
RequestRoot {dirs['spool']}
CacheDir {dirs['cache']}
StateDir {dirs['state']}
TempDir {dirs['tmp']}
AccessLog {dirs['log']}/access_log
ErrorLog {dirs['log']}/error_log
PageLog {dirs['log']}/page_log
Printcap {dirs['conf']}/printcap
FileDevice Yes
""")
        with open(os.path.join(dirs["conf"], "printers.conf"), "w") as f:
            f.write("<Printer bench>\nInfo Benchmark queue\nDeviceURI file:///dev/null\n"
                    "State Idle\nAccepting Yes\nShared No\nJobSheets none none\n"
                    "OpPolicy default\nErrorPolicy stop-printer\n</Printer>\n")
        server = f"127.0.0.1:{port}"
        cupsd = subprocess.Popen(
            [tools["cupsd"], "-f", "-c", os.path.join(dirs["conf"], "cupsd.conf"),
             "-s", os.path.join(dirs["conf"], "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(dirs["log"], "stderr"), "w"))
        try:
            deadline = time.monotonic() + 15
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if cupsd.poll() is not None or time.monotonic() > deadline:
                        raise BenchError("cupsd did not start; see " + dirs["log"])
                    time.sleep(0.05)
            self.say(f"cupsd pid {cupsd.pid} on {server}; {CUPS_JOBS} held jobs")
            for i in range(CUPS_JOBS):
                job = os.path.join(base, f"job{i}.txt")
                with open(job, "w") as f:
                    f.write(f"benchmark job {i}\n")
                run([tools["lp"], "-h", server, "-d", "bench", "-H", "hold",
                     "-t", f"report-{i}", job], 30)
            listing = run([tools["lpstat"], "-h", server, "-o"], 30)
            if listing.count("bench-") != CUPS_JOBS:
                raise BenchError(f"lpstat -o does not list the {CUPS_JOBS} held jobs: " + listing)
            commands = [("lpstat", [tools["lpstat"], "-h", server, "-o"]),
                        ("lpq", [tools["lpq"], "-h", server, "-P", "bench"]),
                        ("prwatch", self.prwatch("-nwait", "0", "-ntries", "1000")),
                        # lpstat's start-up alone: it prints its usage and
                        # exits 1 without a word to the server.
                        ("lpstat_start", [tools["lpstat"], "--help"])]
            before = cpu_ns(cupsd.pid)
            out = self.spawn(n, commands)
            cups_cpu = cpu_ns(cupsd.pid) - before
            self.results["cups"] = dict(
                stats={label: summary(self.times(out, label, 1 if label == "lpstat_start" else 0))
                       for label, _ in commands},
                cupsd_cpu_us_per_request=cups_cpu / 1000 / (2 * n), rounds=n,
                lpstat_libraries=sum(1 for line in run(["ldd", tools["lpstat"]], 30).splitlines()
                                     if "=>" in line),
                version=run(["dpkg-query", "-W", "-f=${Version}", "cups-daemon"], 30)
                if shutil.which("dpkg-query") else "", jobs=CUPS_JOBS)
            self.bridge(server, commands[0][1], n)
        finally:
            stop(cupsd)

    def bridge(self, server, lpstat, n):
        """The same query answered through prcontroller --cups, interleaved with lpstat -o."""
        stop(self.controller)
        self.start_controller(["--cups", server], "bridge.log")
        try:
            self.say(f"CUPS bridge, {n} rounds")
            mark = self.log_mark()
            out = self.spawn(n, [("lpstat", lpstat),
                                 ("bridge", self.prwatch("-nwait", "0", "-ntries", "1000"))])
            self.settle(mark, n + 1)  # and the warm-up query
            busy = self.answers(mark)
            if len(busy) != n + 1 or any(a[2] != 0 for a in busy):
                raise BenchError(f"bridge: {len(busy)} answers logged for {n + 1} queries; "
                                 f"see {self.controller_log}")
            # The controller's own turnaround, as in section 5: requests one
            # at a time from a requester that waits without polling. Above,
            # each client polls with cp processes in a loop, and on a small
            # machine those take the cores the scheduler needs to answer.
            mark = self.log_mark()
            self.prbench("turnaround", n, self.requests, os.path.join(self.area, "bridge-reply"))
            self.settle(mark, n)
            quiet = self.answers(mark)
            if len(quiet) != n or any(a[2] != 0 for a in quiet):
                raise BenchError(f"bridge: {len(quiet)} answers logged for {n} requests; "
                                 f"see {self.controller_log}")
            exchanges = scheduler_exchanges(int(server.rsplit(":", 1)[1]), n)
            self.results["cups"]["bridge"] = dict(
                stats={label: summary(self.times(out, label, 0)) for label in ("lpstat", "bridge")},
                turnaround=summary([a[3] for a in quiet]),
                turnaround_busy=summary([a[3] for a in busy]),
                scheduler=summary(exchanges))
        finally:
            stop(self.controller)
            self.start_controller()

    # -- 6. remote copies: rcp, scp, scp through a shared connection

    def remote(self):
        tools = ("/usr/sbin/sshd", "/usr/bin/scp", "/usr/bin/ssh-keygen", "/usr/bin/unshare",
                 "/usr/bin/ip")
        missing = [t for t in tools if not os.access(t, os.X_OK)]
        why = (f"{', '.join(missing)} not installed (Debian packages openssh-server, "
               "util-linux, iproute2)" if missing else
               "needs root for sshd and a network namespace" if os.geteuid() != 0 else "")
        if why:
            self.say(f"remote copies skipped: {why}")
            self.results["remote"] = dict(skipped=why)
            return
        n = self.counts["remote"]
        self.say(f"remote copies over loopback, {n} rounds")
        out = run(["unshare", "-mn", "--propagation", "private", sys.executable,
                   os.path.join(self.root, "bench", "remote.py"), self.area,
                   os.path.join(self.bin, "prbench"), str(n)], 300 + 10 * n)
        self.results["remote"] = json.loads(out)

    # -- 5b. load

    def load(self):
        self.results["machine"]["load_before_load"] = load_average()
        res = []
        for clients in self.counts["load"]:
            self.say(f"load: {clients} clients at once")
            time.sleep(1)
            mark = self.log_mark()
            before = cpu_ns(self.controller.pid)
            out = self.prbench("load", clients, 60, *self.prwatch("-nwait", "1", "-ntries", "1"),
                               timeout=120)
            self.settle(mark, clients, limit=5)
            cpu = cpu_ns(self.controller.pid) - before
            logged = self.answers(mark)
            per = [r for r in out if r[0] == "client"]
            if len(per) != clients:
                raise BenchError(f"load: {len(per)} of {clients} clients ended in time")
            answered = sum(1 for r in per if r[3] == "0")
            latency = [float(r[2]) for r in per]
            value = {r[0]: float(r[1]) for r in out if r[0] in ("prepared", "last")}
            res.append(dict(
                clients=clients, answered_first_poll=answered,
                latency=summary(latency),
                answered_latency=summary([float(r[2]) for r in per if r[3] == "0"])
                if answered else None,
                prepared_us=value["prepared"], last_us=value["last"],
                requests=len(logged),
                turnaround=summary([a[3] for a in logged]) if logged else None,
                cpu_us_per_request=cpu / 1000 / max(1, len(logged))))
        self.results["load"] = res

    # -- the machine

    def machine(self):
        info = {}
        try:
            lscpu = run(["lscpu"], 30)
            info["cpu"] = re.search(r"Model name:\s*(.*)", lscpu)[1].strip()
        except (BenchError, TypeError, FileNotFoundError):
            info["cpu"] = platform.processor() or "unknown"
        info["cores"] = os.cpu_count()
        with open("/proc/meminfo") as f:
            info["memory_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
        info["kernel"] = platform.release()
        info["os"] = ""
        if os.path.exists("/etc/os-release"):
            with open("/etc/os-release") as f:
                m = re.search(r'PRETTY_NAME="(.*)"', f.read())
                info["os"] = m[1] if m else ""
        try:
            info["compiler"] = run(["g++", "--version"], 30).splitlines()[0]
        except (BenchError, FileNotFoundError):
            info["compiler"] = "unknown"
        cache = open(os.path.join(self.build, "CMakeCache.txt")).read()
        m = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M)
        info["build_type"] = m[1] if m else ""
        m = re.search(r"^PRCLIENT_STATIC_CLIENTS:\w+=(.*)$", cache, re.M)
        info["static_clients"] = bool(m and m[1].upper() in ("ON", "1", "TRUE", "YES"))
        info["date"] = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
        try:
            commit = run(["git", "-C", self.root, "rev-parse", "--short", "HEAD"], 30).strip()
            dirty = run(["git", "-C", self.root, "status", "--porcelain", "--untracked-files=no"],
                        30).strip()
            info["commit"] = commit + (" with uncommitted changes" if dirty else "")
        except (BenchError, FileNotFoundError):
            info["commit"] = "unknown"
        info["root"] = self.root
        info["load_start"] = load_average()
        self.results["machine"] = info

    def all(self, skip_cups):
        self.machine()
        self.prepare()
        self.poll()
        self.startup()
        self.remote()
        self.start_controller()
        try:
            self.turnaround()
            self.huge_listing()
            self.memory()
            self.end_to_end()
            self.default_query()
            if skip_cups:
                self.results["cups"] = dict(skipped="--no-cups was given")
            else:
                self.cups()
            self.load()
        finally:
            stop(self.controller)
        self.results["machine"]["load_end"] = load_average()
        self.results["counts"] = self.counts
        return self.results


def wait_quiet(minutes, log):
    """Waits up to `minutes` for the one-minute load average to fall under 0.5."""
    deadline = time.monotonic() + 60 * minutes
    waited = False
    while load_average() >= 0.5 and time.monotonic() < deadline:
        if not waited:
            print(f"bench: waiting up to {minutes} min for a load average under 0.5 "
                  f"(now {load_average()})", file=log, flush=True)
        waited = True
        time.sleep(30)
    return load_average() < 0.5


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--root", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True, help="directory for performance.md and .png")
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--no-cups", action="store_true")
    ap.add_argument("--wait-quiet", type=float, default=0, metavar="MINUTES")
    ap.add_argument("--command", default="bench/run")
    ap.add_argument("--render-only", action="store_true",
                    help="write the page again from the last run's results, measuring nothing")
    args = ap.parse_args()

    sys.dont_write_bytecode = True  # nothing written into the checkout
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import report  # noqa: E402  (beside this file)

    if not args.smoke and not report.can_plot():
        sys.exit("bench: python3-matplotlib is needed for the plot (apt-get install "
                 "python3-matplotlib); --smoke runs without it")
    results_path = os.path.join(os.path.abspath(args.build), "area", "results.json")
    if args.render_only:
        with open(results_path) as f:
            results = json.load(f)
        os.makedirs(args.out, exist_ok=True)
        report.write(results, args.out, smoke=results["command"].endswith("--smoke"))
        print(f"bench: wrote {os.path.join(args.out, 'performance.md')} from {results_path}",
              file=sys.stderr)
        return
    quiet = True
    if args.wait_quiet > 0:
        quiet = wait_quiet(args.wait_quiet, sys.stderr)
    started = time.monotonic()
    bench = Bench(os.path.abspath(args.root), os.path.abspath(args.build),
                  SMOKE if args.smoke else FULL, sys.stderr)
    try:
        results = bench.all(args.no_cups)
    except BenchError as e:
        sys.exit(f"bench: {e}")
    results["machine"]["quiet_wait"] = dict(asked=args.wait_quiet, quiet=quiet)
    results["seconds"] = time.monotonic() - started
    results["command"] = args.command + (" --smoke" if args.smoke else "")
    os.makedirs(args.out, exist_ok=True)
    with open(results_path, "w") as f:
        json.dump(results, f, indent=1)
    report.write(results, args.out, smoke=args.smoke)
    print(f"bench: wrote {os.path.join(args.out, 'performance.md')} "
          f"in {results['seconds']:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
