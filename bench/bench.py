#!/usr/bin/env python3
"""Measures what a query costs on this machine, keeps the results in the
build directory and fills the tables of performance.md with them
(report.py). bench/run builds the programs and calls this; see there for
the options. Each figure is set against a floor measured in the same run by
the same harness, interleaved with it: absolute times drift on a shared
machine, ratios much less."""

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
import time

FULL = dict(poll=2000, start=1000, hwm=20, turnaround=1000, e2e=200, default=5, cups=200,
            load=[50, 200, 500], huge_jobs=100000, remote=100, site=[20000, 300, 20])
SMOKE = dict(poll=20, start=20, hwm=2, turnaround=20, e2e=10, default=1, cups=5, load=[5, 10],
             huge_jobs=2000, remote=2, site=[600, 30, 20])
CUPS_JOBS = 100  # held on the scheduler that the CUPS comparison and the bridge ask
# Polls back to back until the reply is there: a poll that finds none costs
# microseconds, so the count only bounds a controller that never answers.
QUERY = ["-nwait", "0", "-ntries", "10000000"]
MODES = ("dynamic", "runtime", "static")


class BenchError(Exception):
    pass


def summary(values):
    """Median, nearest-rank percentiles and extremes."""
    if not values:
        raise BenchError("no samples")
    s = sorted(values)
    def rank(p): return s[max(0, -(-p * len(s) // 100) - 1)]
    return dict(n=len(s), median=statistics.median(s), p95=rank(95), p99=rank(99), min=s[0],
                max=s[-1])


def run(args, timeout=60):
    args = [str(a) for a in args]
    try:
        r = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        raise BenchError(f"{args[0]} took longer than {timeout} s") from e
    if r.returncode != 0:
        raise BenchError(f"{' '.join(args)} exited {r.returncode}: {r.stderr.strip()}")
    return r.stdout


def start(args, log):
    """A server of the bench's own, its output in `log`."""
    with open(log, "w") as f:
        return subprocess.Popen([str(a) for a in args], stdin=subprocess.DEVNULL, stdout=f,
                                stderr=subprocess.STDOUT)


def stop(proc):
    """Ends a process this script started, by its pid."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


def wait_for(ready, proc, what, limit=60):
    deadline = time.monotonic() + limit
    while not ready():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise BenchError(f"{what} did not start")
        time.sleep(0.02)


def read(path):
    with open(path) as f:
        return f.read()


def cpu_ns(pid):
    return int(read(f"/proc/{pid}/schedstat").split()[0])


def clients(out):
    """When the last of `prbench load`'s clients ended, and their exit statuses."""
    return dict(last_s=next(float(x[1]) for x in out if x[0] == "last") / 1e6,
                status=[int(x[3]) for x in out if x[0] == "client"])


def load_average():
    return float(read("/proc/loadavg").split()[0])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scheduler_exchanges(port, n):
    """Times n bare Get-Jobs exchanges on one kept connection, asking for
    what the bridge asks: the scheduler's own share of an answer. In µs."""
    def attr(tag, name, value):
        name, value = name.encode(), value.encode()
        return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
    wanted = ["job-id", "job-originating-user-name", "job-name", "job-k-octets", "job-state",
              "job-printer-uri", "time-at-creation", "copies", "job-impressions"]
    times = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i in range(n):
            body = (struct.pack(">BBHI", 2, 0, 0x000A, i + 1) + b"\x01"
                    + attr(0x47, "attributes-charset", "utf-8")
                    + attr(0x48, "attributes-natural-language", "en")
                    + attr(0x45, "printer-uri", "ipp://localhost/")
                    + attr(0x42, "requesting-user-name", getpass.getuser())
                    + attr(0x44, "which-jobs", "not-completed")
                    + attr(0x44, "requested-attributes", wanted[0])
                    + b"".join(attr(0x44, "", w) for w in wanted[1:]) + b"\x03")
            began = time.perf_counter()
            s.sendall(f"POST / HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Type: "
                      f"application/ipp\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
            got = b""
            while True:
                head, blank, rest = got.partition(b"\r\n\r\n")
                length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
                whole = len(rest) >= int(length[1]) if length else rest.endswith(b"0\r\n\r\n")
                if blank and whole:
                    break
                more = s.recv(65536)
                if not more:
                    raise BenchError("cupsd closed the connection during a Get-Jobs")
                got += more
            times.append((time.perf_counter() - began) * 1e6)
            if not got.startswith(b"HTTP/1.1 200"):
                raise BenchError("cupsd answered a bare Get-Jobs with "
                                 + got.split(b"\r")[0].decode())
            time.sleep(0.01)
    return times


class Bench:
    def __init__(self, root, build, counts):
        self.root, self.build, self.counts = root, build, counts
        self.bin = os.path.join(build, "bin")
        self.area = os.path.join(build, "area")
        self.requests = self.at("requests")
        self.sample = ["--state", os.path.join(root, "prcontroller", "sample-state")]
        self.r = {}
        self.began = time.monotonic()

    def at(self, *names):
        return os.path.join(self.area, *names)

    def say(self, text):
        print(f"bench: {time.monotonic() - self.began:5.1f} s  {text}", file=sys.stderr, flush=True)

    def prbench(self, *args, timeout=600):
        out = run([os.path.join(self.bin, "prbench"), *args], timeout)
        return [line.split("\t") for line in out.splitlines()]

    def prwatch(self, *args):
        return [os.path.join(self.bin, "prwatch"), *args]

    def spawn(self, rounds, commands, warm=True):
        """Labelled commands run in turn: {label: [(µs, exit status)]}."""
        listing = self.at("commands")
        with open(listing, "w") as f:
            f.writelines("\t".join([label, *map(str, argv)]) + "\n" for label, argv in commands)
        out = {label: [] for label, _ in commands}
        for label, us, status in self.prbench("spawn", rounds, listing,
                                                 *([] if warm else ["cold"]), timeout=900):
            out[label].append((float(us), int(status)))
        return out

    @staticmethod
    def times(samples, label, want=0):
        bad = [s for _, s in samples[label] if s != want]
        if bad:
            raise BenchError(f"{label}: {len(bad)} of {len(samples[label])} runs exited "
                             f"{bad[0]}, not {want}")
        return summary([us for us, _ in samples[label]])

    def serve(self, requests, source, log):
        """A prcontroller on `requests` answering from `source`, once it serves."""
        proc = start([os.path.join(self.bin, "prcontroller"), "--dir", requests, *source], log)
        try:
            wait_for(lambda: "serving" in read(log), proc, "prcontroller")
        except BenchError:
            stop(proc)
            raise
        return proc

    def start_controller(self, source, log="controller.log"):
        self.log = self.at(log)
        self.controller = self.serve(self.requests, source, self.log)
        self.say(f"prcontroller pid {self.controller.pid} serves {self.requests}")

    def mark(self):
        return os.path.getsize(self.log)

    def answers(self, mark):
        """(status, µs) of each answer the controller logged since `mark`."""
        with open(self.log) as f:
            f.seek(mark)
            found = [re.search(r"answered \S+ \(.*\) as \S+: status (-?\d+), (\d+) us", line)
                     for line in f]
        return [(int(m[1]), int(m[2])) for m in found if m]

    def answered(self, mark, n, limit=15, strict=True):
        """The turnarounds of the n answers expected since `mark`, in µs."""
        deadline = time.monotonic() + limit
        while len(self.answers(mark)) < n and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        got = self.answers(mark)
        if strict and (len(got) != n or any(status != 0 for status, _ in got)):
            raise BenchError(f"{len(got)} answers logged for {n} requests; see {self.log}")
        return [us for _, us in got]

    def prepare(self):
        shutil.rmtree(self.area, ignore_errors=True)
        for d in ("spool", "requests", "scratch", "remote"):
            os.makedirs(self.at(d))
        os.chmod(self.at("spool"), 0o1777)
        with open(self.at("cconf"), "w") as f:
            f.write(f"# The benchmark's controller runs on this host.\n{socket.gethostname()}\n"
                    f"{self.area}/print/\n{self.requests}/\n")
        with open(self.at("request-sample"), "wb") as f:
            f.write(b"x" * 132)
        os.makedirs(os.path.join(self.build, "bench-missing"), exist_ok=True)
        if os.path.exists(os.path.join(self.build, "bench-missing", "cconf")):
            os.unlink(os.path.join(self.build, "bench-missing", "cconf"))

    def poll(self):
        n = self.counts["poll"]
        self.say(f"per-poll cost, {n} rounds")
        samples, commands = {}, {}
        for row in self.prbench("poll", n, socket.gethostname(), self.at("remote"),
                                self.at("scratch")):
            if row[0] == "command":
                commands[row[1]] = row[2].replace(self.root + "/", "")
            else:
                samples.setdefault(row[0], []).append(float(row[1]))
        # Each round ran every case once: the library's copy and the bare one
        # of the same round make a pair.
        paired = {}
        for op in ("from", "to"):
            pairs = list(zip(samples[op + "_lib"], samples[op + "_cp"]))
            paired[op] = dict(difference=statistics.median(a - b for a, b in pairs),
                              ratio=statistics.median(a / b for a, b in pairs),
                              slower=sum(a > b for a, b in pairs) / len(pairs))
        self.r["poll"] = dict(stats={k: summary(v) for k, v in samples.items()},
                              commands=commands, paired=paired)

    def startup(self):
        n = self.counts["start"]
        self.say(f"start-up, {n} rounds")
        variant = os.path.join(self.build, "bench-bin", "prwatch_{}_missing").format
        commands = [("c_hello", [os.path.join(self.bin, "bench_hello")]),
                    ("c_hello_static", [os.path.join(self.bin, "bench_hello_static")])]
        commands += [("prwatch_" + m, [variant(m)]) for m in MODES]
        out = self.spawn(n, commands)
        self.r["startup"] = dict(
            stats={label: self.times(out, label, 0 if label.startswith("c_") else 255)
                   for label, _ in commands},
            sizes={m: os.path.getsize(variant(m)) for m in MODES})

    def memory(self):
        n = self.counts["hwm"]
        self.say(f"peak memory, {n} runs each")
        variant = os.path.join(self.build, "bench-bin", "prwatch_{}_configured").format
        cases = [("c_hello", [os.path.join(self.bin, "bench_hello")])]
        cases += [("prwatch_" + m, [variant(m), *QUERY]) for m in MODES]
        cases += [("cp_fetch", ["cp", self.at("reply-sample"), self.at("scratch", "fetched")])]
        stats = {}
        for label, argv in cases:
            out = self.prbench("hwm", n, label, *argv, timeout=300)
            if any(r[3] != "0" or int(r[1]) <= 0 for r in out):
                raise BenchError(f"{label}: peak memory run failed: {out}")
            stats[label] = dict(hwm_kib=max(int(r[1]) for r in out),
                                tree_kib=max(int(r[2]) for r in out))
        libs = [x.split()[0] for x in run(["ldd", shutil.which("cp")]).splitlines() if "=>" in x]
        self.r["memory"] = dict(stats=stats, cp_libraries=libs)

    def turnaround(self):
        n = self.counts["turnaround"]
        self.say(f"controller turnaround, {n} requests")
        mark, before = self.mark(), cpu_ns(self.controller.pid)
        out = self.prbench("turnaround", n, self.requests, self.at("reply-sample"))
        logged = self.answered(mark, n)
        self.r["turnaround"] = dict(
            logged=summary(logged), external=summary([float(r[1]) for r in out]),
            cpu_us=(cpu_ns(self.controller.pid) - before) / 1000 / n)
        shutil.copy(self.at("reply-sample"), os.path.join(self.requests, "bench-reply"))

    def huge_listing(self):
        n = self.counts["huge_jobs"]
        self.say(f"listing {n} jobs, one named with 1 MiB")
        requests = self.at("huge", "requests")
        os.makedirs(requests)
        with open(self.at("huge", "state"), "w") as f:
            f.write("queue q1 ready\n")
            f.writelines(f'job {i} q1 ann queued 1 1 -1m "job{i}"\n' for i in range(n - 1))
            f.write('job big q1 ann queued 1 1 -1m "' + "x" * 2**20 + '"\n')
        proc = self.serve(requests, ["--state", self.at("huge", "state"), "--quiet"],
                          self.at("huge", "controller.log"))
        burst = None
        try:
            out = self.prbench("turnaround", 5, requests, self.at("huge", "reply"))
            # Listings queued one after another; the stop must not wait for them.
            burst = subprocess.Popen([os.path.join(self.bin, "prbench"), "turnaround", "1000",
                                      requests, self.at("huge", "reply")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            began = time.monotonic()
            os.kill(proc.pid, signal.SIGTERM)
            proc.wait(timeout=30)
            stopped = time.monotonic() - began
        finally:
            stop(proc)
            if burst:
                stop(burst)
        self.r["huge_listing"] = dict(jobs=n, listing=summary([float(r[1]) for r in out]),
                                      stop_s=stopped)

    def end_to_end(self):
        n = self.counts["e2e"]
        self.say(f"end-to-end queries, {n} rounds")
        mark = self.mark()
        out = self.spawn(n, [
            ("query", self.prwatch(*QUERY)),
            ("send", ["/usr/bin/cp", self.at("request-sample"), self.at("requests", "bench-send")]),
            ("fetch", ["cp", self.at("requests", "bench-reply"), self.at("scratch", "fetched")]),
            # A single poll: exit 0 when it found the reply, 255 when that came later.
            ("single", self.prwatch("-nwait", "0", "-ntries", "1"))])
        turn = summary(self.answered(mark, 2 * (n + 1)))  # and the warm-up runs
        single = [s for _, s in out["single"]]
        if any(s not in (0, 255) for s in single):
            raise BenchError(f"end-to-end: a single-poll query exited {single}")
        q, send, fetch = (self.times(out, label) for label in ("query", "send", "fetch"))
        self.r["e2e"] = dict(query=q, send=send, fetch=fetch, turnaround=turn,
                             floor=send["median"] + fetch["median"] + turn["median"],
                             floor95=send["p95"] + fetch["p95"] + turn["p95"],
                             first_poll=single.count(0))

    def default_query(self):
        n = self.counts["default"]
        self.say(f"default query (-nwait 5), {n} runs")
        self.r["default"] = self.times(self.spawn(n, [("default", self.prwatch())], warm=False),
                                       "default")

    def scheduler(self, name, lpstat):
        """A private cupsd on 127.0.0.1, once lpstat -o gets an answer from it."""
        server = f"127.0.0.1:{free_port()}"
        cupsd = start([os.path.join(self.root, "tools", "private-cupsd"), self.at(name), server],
                      self.at(name + ".log"))
        wait_for(lambda: subprocess.run([lpstat, "-h", server, "-o"], capture_output=True)
                 .returncode == 0, cupsd, "cupsd (see " + self.at(name, "log") + ")")
        return cupsd, server, [lpstat, "-h", server, "-o"]

    def cups(self, site_only=False):
        tools = {t: shutil.which(t) or shutil.which(t, path="/usr/sbin")
                 for t in ("cupsd", "lpstat", "lpq", "lp", "lpadmin")}
        missing = [t for t, path in tools.items() if not path]
        if missing:
            why = f"{', '.join(missing)} not installed (cups-daemon, cups-client, cups-bsd)"
            self.say(f"CUPS comparison skipped: {why}")
            self.r["cups"] = self.r["site"] = dict(skipped=why)
            return
        if site_only:
            return self.site(tools)
        n = self.counts["cups"]
        self.say(f"CUPS comparison, {n} rounds")
        cupsd, server, lpstat = self.scheduler("cups", tools["lpstat"])
        try:
            run([tools["lpadmin"], "-h", server, "-p", "bench", "-E", "-v", "file:///dev/null"])
            for i in range(CUPS_JOBS):
                run([tools["lp"], "-h", server, "-d", "bench", "-H", "hold", "-t", f"report-{i}",
                     self.at("request-sample")])
            if run(lpstat).count("bench-") != CUPS_JOBS:
                raise BenchError(f"lpstat -o does not list the {CUPS_JOBS} held jobs")
            commands = [("lpstat", lpstat), ("lpq", [tools["lpq"], "-h", server, "-P", "bench"]),
                        ("prwatch", self.prwatch(*QUERY)),
                        # Start-up alone: it prints its usage and exits 1, asking nothing.
                        ("lpstat_start", [tools["lpstat"], "--help"])]
            before = cpu_ns(cupsd.pid)
            out = self.spawn(n, commands)
            self.r["cups"] = dict(
                stats={label: self.times(out, label, 1 if label == "lpstat_start" else 0)
                       for label, _ in commands},
                cupsd_cpu_us=(cpu_ns(cupsd.pid) - before) / 1000 / (2 * n),
                lpstat_libraries=run(["ldd", tools["lpstat"]]).count("=>"), jobs=CUPS_JOBS,
                version=run(["dpkg-query", "-W", "-f=${Version}", "cups-daemon"]))
            self.bridge(server, lpstat, n)
        finally:
            stop(cupsd)
        self.site(tools)

    def site(self, tools):
        """The bridge before a scheduler holding a site's jobs, against lpstat -o."""
        n, burst, stopped = self.counts["site"]
        self.say(f"site scale: {n} held jobs, {burst} clients at once")
        cupsd, server, lpstat = self.scheduler("site-cups", tools["lpstat"])
        stop(self.controller)
        ctl, began = None, time.monotonic()
        try:
            for queue in ("q1", "drücker-ü"):
                run([tools["lpadmin"], "-h", server, "-p", queue, "-E", "-v", "file:///dev/null"])
            run(["sh", "-c", f'seq {n} | xargs -P 4 -I@ "$0" -h {server} -d q1 -H hold -t j@ '
                 "/etc/hostname >/dev/null", tools["lp"]], 120 + n // 10)
            run([tools["lp"], "-h", server, "-d", "drücker-ü", "-H", "hold", "-t", "umlaut",
                 "/etc/hostname"])
            r = dict(jobs=n, burst=burst, stopped=stopped, submit_s=time.monotonic() - began)
            # A listing of the whole site for each of the burst's clients is
            # far more than the default per-user bound on replies kept.
            ctl = self.serve(self.requests, ["--cups", server, "--quiet", "--reply-quota", "1024",
                                             "--reply-total", "2048"], self.at("site.log"))
            ask = self.prwatch("-nwait", "1", "-ntries", "100")
            r["first"] = run(ask, 120).split("\n")[0]
            r["umlaut"] = "umlaut" in run(ask + ["-p", "drücker-ü"])
            outs = self.at("site-out")
            os.makedirs(outs)
            before = cpu_ns(ctl.pid)
            out = self.prbench("load", burst, 300, "sh", "-c", 'exec "$@" >"$0.$$"',
                               os.path.join(outs, "o"), *ask)
            r["cpu_s"] = (cpu_ns(ctl.pid) - before) / 1e9
            r["full"] = sum(open(os.path.join(outs, f)).readline() == f"All jobs: {n + 1}\n"
                            for f in os.listdir(outs))
            shutil.rmtree(outs)
            r["prwatch"] = clients(out)
            r["lpstat"] = clients(self.prbench("load", burst, 500, *lpstat))
            os.kill(cupsd.pid, signal.SIGSTOP)
            r["halted"] = clients(self.prbench("load", stopped, 60, *ask))
            r["date"] = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
            self.r["site"] = r
        finally:
            if cupsd.poll() is None:
                os.kill(cupsd.pid, signal.SIGCONT)
            if ctl:
                stop(ctl)
            stop(cupsd)
            self.start_controller(self.sample)

    def bridge(self, server, lpstat, n):
        """The same query through prcontroller --cups, interleaved with lpstat -o."""
        stop(self.controller)
        self.start_controller(["--cups", server], "bridge.log")
        try:
            self.say(f"CUPS bridge, {n} rounds")
            mark = self.mark()
            out = self.spawn(n, [("lpstat", lpstat), ("bridge", self.prwatch(*QUERY))])
            busy = self.answered(mark, n + 1)  # and the warm-up query
            # The controller's own turnaround, as in section 5: one request at
            # a time from a requester that waits without polling.
            mark = self.mark()
            self.prbench("turnaround", n, self.requests, self.at("bridge-reply"))
            quiet = self.answered(mark, n)
            self.r["cups"]["bridge"] = dict(
                stats={label: self.times(out, label) for label in ("lpstat", "bridge")},
                turnaround=summary(quiet), turnaround_busy=summary(busy),
                scheduler=summary(scheduler_exchanges(int(server.rsplit(":", 1)[1]), n)))
        finally:
            stop(self.controller)
            self.start_controller(self.sample)

    def remote(self):
        missing = [t for t in ("/usr/sbin/sshd", "/usr/bin/scp", "/usr/bin/ssh-keygen",
                               "/usr/bin/unshare", "/usr/bin/ip") if not os.access(t, os.X_OK)]
        why = (f"{', '.join(missing)} not installed (openssh-server, util-linux, iproute2)"
               if missing else "needs root for sshd and a network namespace"
               if os.geteuid() != 0 else "")
        if why:
            self.say(f"remote copies skipped: {why}")
            self.r["remote"] = dict(skipped=why)
            return
        n = self.counts["remote"]
        self.say(f"remote copies over loopback, {n} rounds")
        self.r["remote"] = json.loads(run(
            ["unshare", "-mn", "--propagation", "private", sys.executable,
             os.path.join(self.root, "bench", "remote.py"), self.root, self.build, n],
            300 + 10 * n))

    def load(self):
        self.r["machine"]["load_before_load"] = load_average()
        self.r["load"] = []
        for clients in self.counts["load"]:
            self.say(f"load: {clients} clients at once")
            time.sleep(1)
            mark, before = self.mark(), cpu_ns(self.controller.pid)
            out = self.prbench("load", clients, 60, *self.prwatch("-nwait", "1", "-ntries", "1"),
                               timeout=120)
            logged = self.answered(mark, clients, limit=5, strict=False)
            per = [r for r in out if r[0] == "client"]
            if len(per) != clients:
                raise BenchError(f"load: {len(per)} of {clients} clients ended in time")
            self.r["load"].append(dict(
                clients=clients, answered=sum(r[3] == "0" for r in per),
                latency=summary([float(r[2]) for r in per]),
                last_us=next(float(r[1]) for r in out if r[0] == "last"),
                turnaround=summary(logged) if logged else None,
                cpu_us=(cpu_ns(self.controller.pid) - before) / 1000 / max(1, len(logged))))

    def machine(self):
        cpu = re.search(r"Model name:\s*(.*)", run(["lscpu"]))
        osname = re.search(r'PRETTY_NAME="(.*)"', read("/etc/os-release"))
        cache = read(os.path.join(self.build, "CMakeCache.txt"))
        git = ["git", "-C", self.root]
        dirty = run([*git, "status", "--porcelain", "--untracked-files=no"]).strip()
        self.r["machine"] = dict(
            cpu=cpu[1].strip() if cpu else platform.processor(), cores=os.cpu_count(),
            memory_gib=round(int(read("/proc/meminfo").split()[1]) / 2**20, 1),
            kernel=platform.release(), os=osname[1] if osname else "",
            compiler=run(["g++", "--version"]).splitlines()[0],
            build_type=re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M)[1],
            static_clients=bool(re.search(r"^PRCLIENT_STATIC_CLIENTS:\w+=(ON|1|TRUE|YES)$",
                                          cache, re.M | re.I)),
            commit=run([*git, "rev-parse", "--short", "HEAD"]).strip()
            + (" with uncommitted changes" if dirty else ""),
            date=datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
            load_start=load_average())

    def all(self, skip_cups):
        self.machine()
        self.prepare()
        self.poll()
        self.startup()
        self.remote()
        self.start_controller(self.sample)
        try:
            self.turnaround()
            self.huge_listing()
            self.memory()
            self.end_to_end()
            self.default_query()
            if skip_cups:
                self.r["cups"] = self.r["site"] = dict(skipped="--no-cups was given")
            else:
                self.cups()
            self.load()
        finally:
            stop(self.controller)
        self.r["machine"]["load_end"] = load_average()
        self.r["counts"] = self.counts
        return self.r

    def site_only(self):
        self.prepare()
        self.start_controller(self.sample)
        try:
            self.cups(site_only=True)
        finally:
            stop(self.controller)
        return self.r["site"]


def wait_quiet(minutes):
    """Waits up to `minutes` for the one-minute load average to fall under 0.5."""
    deadline = time.monotonic() + 60 * minutes
    if load_average() >= 0.5:
        print(f"bench: waiting up to {minutes} min for a load average under 0.5 "
              f"(it is {load_average()})", file=sys.stderr, flush=True)
    while load_average() >= 0.5 and time.monotonic() < deadline:
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
    ap.add_argument("--render-only", action="store_true")
    ap.add_argument("--only", choices=["site"])
    args = ap.parse_args()
    sys.dont_write_bytecode = True  # nothing written into the checkout
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import report  # noqa: E402  (beside this file)

    if not args.smoke and not report.can_plot():
        sys.exit("bench: python3-matplotlib is needed for the plot (apt-get install "
                 "python3-matplotlib); --smoke runs without it")
    saved = os.path.join(os.path.abspath(args.build), "area", "results.json")
    if args.render_only:
        results = json.loads(read(saved))
    else:
        quiet = wait_quiet(args.wait_quiet) if args.wait_quiet > 0 else True
        began = time.monotonic()
        try:
            bench = Bench(os.path.abspath(args.root), os.path.abspath(args.build),
                          SMOKE if args.smoke else FULL)
            # The other tables keep the figures of the run that made them.
            results = (dict(json.loads(read(saved)) if os.path.exists(saved) else {},
                            site=bench.site_only()) if args.only else bench.all(args.no_cups))
        except BenchError as e:
            sys.exit(f"bench: {e}")
        if not args.only:
            results["machine"]["quiet_wait"] = dict(asked=args.wait_quiet, quiet=quiet)
            results["seconds"] = time.monotonic() - began
            results["command"] = "bench/run" + (" --smoke" if args.smoke else "")
        with open(saved, "w") as f:
            json.dump(results, f, indent=1)
    os.makedirs(args.out, exist_ok=True)
    report.write(results, os.path.join(args.root, "docs", "performance.md"), args.out, args.only)
    print(f"bench: filled {os.path.join(args.out, 'performance.md')}", file=sys.stderr)


if __name__ == "__main__":
    main()
