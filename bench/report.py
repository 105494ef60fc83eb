"""Writes performance.md and performance.png from the results bench.py
measured. Every number on the page comes from `results`; the words around
them say which targets the figures meet and, where one is missed, why."""

import os

TARGETS = dict(poll=1.1, start=1.3, rss_kib=2048, e2e=1.5, turnaround_us=1000,
               bridge=1.0, bridge_turnaround_us=3000)


def can_plot():
    try:
        import matplotlib  # noqa: F401
        return True
    except ImportError:
        return False


# ---- formatting --------------------------------------------------------------

def ms(us):
    return f"{us / 1000:.2f} ms"


def us_(us):
    return f"{us:.0f} µs"


def sec(us):
    return f"{us / 1e6:.2f} s"


def duration(seconds):
    return f"{seconds:.0f} seconds" if seconds < 120 else f"{seconds / 60:.0f} minutes"


def ratio(a, b):
    return a / b


def r2(x):
    return f"{x:.2f}×"


def verdict(ok):
    return "**met**" if ok else "**missed**"


def table(header, body):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in body]
    return "\n".join(lines) + "\n"


# ---- the figures and the verdicts ------------------------------------------------

def figures(r):
    """The headline figures with their floors, ratios and verdicts."""
    f = {}
    p = r["poll"]["stats"]
    f["from"] = ratio(p["from_lib"]["median"], p["from_cp"]["median"])
    f["to"] = ratio(p["to_lib"]["median"], p["to_cp"]["median"])
    f["from_sh"] = ratio(p["from_sh"]["median"], p["from_cp"]["median"])
    f["to_sh"] = ratio(p["to_sh"]["median"], p["to_cp"]["median"])
    s = r["startup"]["stats"]
    f["mode"] = "static" if r["machine"]["static_clients"] else "dynamic"
    f["start"] = ratio(s["prwatch_" + f["mode"]]["median"], s["c_hello"]["median"])
    m = r["memory"]["stats"]
    f["rss"] = m["prwatch_" + f["mode"]]["hwm_kib"]
    e = r["e2e"]
    f["e2e"] = ratio(e["query"]["median"], e["floor"])
    f["e2e95"] = ratio(e["query"]["p95"], e["floor95"])
    t = r["turnaround"]["logged"]
    f["turn"] = t["median"]
    loads = r["load"]
    f["all_answered"] = all(x["answered_first_poll"] == x["clients"] for x in loads)
    f["ok"] = dict(
        poll=f["from"] <= TARGETS["poll"] and f["to"] <= TARGETS["poll"],
        start=f["start"] <= TARGETS["start"],
        rss=f["rss"] <= TARGETS["rss_kib"],
        e2e=f["e2e"] <= TARGETS["e2e"],
        e2e95=f["e2e95"] <= TARGETS["e2e"],
        turn=f["turn"] < TARGETS["turnaround_us"],
        load=f["all_answered"])
    return f


def summary_table(r, f):
    p = r["poll"]["stats"]
    s = r["startup"]["stats"]
    e = r["e2e"]
    t = r["turnaround"]["logged"]
    mode = f["mode"]
    body = [
        ["1. one poll: fetch of a missing reply (`TransportFrom`)", ms(p["from_lib"]["median"]),
         f"bare `cp`, {ms(p['from_cp']['median'])}", r2(f["from"]), "≤ 1.1×",
         verdict(f["from"] <= TARGETS["poll"])],
        ["1. sending the request (`TransportTo`)", ms(p["to_lib"]["median"]),
         f"bare `cp`, {ms(p['to_cp']['median'])}", r2(f["to"]), "≤ 1.1×",
         verdict(f["to"] <= TARGETS["poll"])],
        [f"2. `prwatch` start-up, missing configuration ({mode} build)",
         ms(s["prwatch_" + mode]["median"]), f"C program that prints, {ms(s['c_hello']['median'])}",
         r2(f["start"]), "≤ 1.3×", verdict(f["ok"]["start"])],
        ["2. peak resident memory of a whole `prwatch` query", f"{f['rss']} KiB", "—", "—",
         "≤ 2048 KiB", verdict(f["ok"]["rss"])],
        ["3. query `prwatch -nwait 0 -ntries 1000`, median", ms(e["query"]["median"]),
         f"send + fetch + turnaround, {ms(e['floor'])}", r2(f["e2e"]), "≤ 1.5×",
         verdict(f["ok"]["e2e"])],
        ["3. same, 95th percentile", ms(e["query"]["p95"]),
         f"the parts' 95th percentiles, {ms(e['floor95'])}", r2(f["e2e95"]), "≤ 1.5×",
         verdict(f["ok"]["e2e95"])],
        ["3. default query (`-nwait 5`), median", sec(r["default"]["query"]["median"]),
         "—", "—", "the wait dominates", ""],
    ]
    c = r["cups"]
    if "skipped" in c:
        body.append(["4. against CUPS", "skipped: " + c["skipped"], "", "", "report", ""])
    else:
        cs = c["stats"]
        for tool, what in (("lpstat", "`lpstat -o`"), ("lpq", "`lpq`")):
            body.append([f"4. `prwatch` query against {what} on a local `cupsd`",
                         ms(cs["prwatch"]["median"]), f"{what}, {ms(cs[tool]['median'])}",
                         r2(ratio(cs["prwatch"]["median"], cs[tool]["median"])), "report", ""])
        b = c.get("bridge")
        if b:
            bs = b["stats"]
            br = ratio(bs["bridge"]["median"], bs["lpstat"]["median"])
            bt = b["turnaround"]["median"]
            body.append([f"4. `prwatch` through `prcontroller --cups`, {c['jobs']} jobs",
                         ms(bs["bridge"]["median"]), f"`lpstat -o`, {ms(bs['lpstat']['median'])}",
                         r2(br), "≤ 1.0×", verdict(br <= TARGETS["bridge"])])
            body.append([f"4. bridge turnaround, {c['jobs']} jobs, median", us_(bt), "—", "—",
                         "≤ 3 ms", verdict(bt <= TARGETS["bridge_turnaround_us"])])
    body.append(["5. controller turnaround, median", us_(t["median"]), "—", "—", "< 1 ms",
                 verdict(f["ok"]["turn"])])
    body.append(["5. controller turnaround, 99th percentile", us_(t["p99"]), "—", "—", "—", ""])
    if "huge_listing" in r:
        h = r["huge_listing"]
        body.append([f"5. listing {h['jobs']} jobs, one named with 1 MiB, median",
                     ms(h["listing"]["median"]), "—", "—", "< 1 s",
                     verdict(h["listing"]["max"] < 1e6)])
        body.append(["5. SIGTERM behind a queue of such listings", f"{h['stop_s']:.2f} s", "—", "—",
                     "< 1 s", verdict(h["stop_s"] < 1)])
    for x in r["load"]:
        body.append([f"5. {x['clients']} clients at once: answered at the first poll",
                     f"{x['answered_first_poll']} of {x['clients']}", "—", "—", "all",
                     verdict(x["answered_first_poll"] == x["clients"])])
    rm = r.get("remote") or dict(skipped="not measured")
    if "skipped" in rm:
        body.append(["6. remote copies", "skipped: " + rm["skipped"], "", "", "report", ""])
    else:
        st = rm["stats"]
        rcp = st["rcp_send"]["median"] + st["rcp_fetch"]["median"] if "rcp_send" in st else 0
        for k, what in (("scp_fresh", "fresh connections"), ("scp_shared", "a shared connection")):
            both = st[f"{k}_send"]["median"] + st[f"{k}_fetch"]["median"]
            body.append([f"6. send and fetch over `scp`, {what}", ms(both),
                         f"`rcp`, {ms(rcp)}" if rcp else "—", r2(both / rcp) if rcp else "—",
                         "report", ""])
    return table(["what", "measured", "floor", "ratio", "target", ""], body)


# ---- the page ------------------------------------------------------------------

def page(r, f, smoke, plotted):
    m = r["machine"]
    c = r["counts"]
    out = []
    w = out.append
    w("# Performance\n\n")
    if smoke:
        w("**Smoke run: tiny counts, the figures mean nothing. Run `bench/run` for real ones.**\n\n")
    w(f"Measured by `{r['command']}` on {m['date']}; the run took {duration(r['seconds'])}.\n\n"
      f"- machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB of memory\n"
      f"- system: Linux {m['kernel']}, {m['os']}\n"
      f"- compiler: {m['compiler']}, {m['build_type']} build of commit {m['commit']}\n"
      f"- one-minute load average: {m['load_start']:.2f} at the start"
      + (f", {m['load_before_load']:.2f} before the load runs of section 5"
         if "load_before_load" in m else "")
      + f", {m['load_end']:.2f} at the end (the load runs start up to "
      f"{max(c['load'])} clients at once, and raise it themselves)\n\n")
    q = m.get("quiet_wait", {})
    if q.get("asked") and not q.get("quiet"):
        w(f"The machine did not quiet down (load average under 0.5) within the "
          f"{q['asked']:.0f} minutes the run waited for it, so it ran on a busy machine: "
          "other builds and tests shared its two cores, which widens the tails and "
          "inflates absolute times; the ratios, taken from interleaved runs, suffer less.\n\n")
    w("Every number on this page comes from that run. Absolute times drift on a shared machine, "
      "so each figure is set against a floor measured in the same run, by the same harness "
      "(`bench/prbench.cc`), with the runs it compares interleaved round by round. Times are "
      "wall-clock, from the spawn of a process to its reaping.\n\n")
    w("## Summary\n\n")
    w(summary_table(r, f))
    w("\n")
    if not plotted:
        w("(No plot in this run: `python3-matplotlib` is not installed.)\n\n")
    if plotted:
        w("![Latency of prwatch clients started at once, controller turnaround and the ratios "
          "against their targets](performance.png)\n\n")
    w("## Running the benchmarks\n\n")
    w("```sh\nbench/run                  # a few minutes; rewrites docs/performance.md and .png\n"
      "bench/run --wait-quiet 60  # the same, after waiting up to an hour for a quiet machine\n"
      "bench/run --smoke          # tiny counts, page in build-bench-smoke/page\n```\n\n")
    w("`bench/run --help` lists the options. It builds into `build-bench/` a copy of the "
      "programs configured for a scratch area there (`build-bench/area`), the harness, a C "
      "program that only prints, and `prwatch` in each way of linking the runtime; starts its "
      "own `prcontroller` with `prcontroller/sample-state` (twelve jobs), and a `cupsd` with a "
      "private configuration, both on this host, and, as root, a private `sshd` and "
      "`in.rshd` in namespaces of their own (section 6), and stops them again by their "
      "process ids. "
      "The plot needs `python3-matplotlib`. `--smoke` builds unoptimised into "
      "`build-bench-smoke/` and runs every part with tiny counts: a check that the benchmarks "
      "still work, not a measurement.\n\n")

    # 1
    p = r["poll"]["stats"]
    cmd = {k: v.replace(m["root"] + "/", "") for k, v in r["poll"]["commands"].items()}
    w("## 1. Per-poll cost\n\n")
    w(f"A client polls for its reply by copying it from the controller's request directory; "
      f"on this host the copy is `cp`. The harness called `TransportFrom` for a reply that is "
      f"not there and `TransportTo` of a 132-byte request, {c['poll']} times each, and spawned "
      f"the very commands they run — the same words and redirections — with a bare "
      f"`posix_spawn` and `waitpid`, and through `/bin/sh -c`:\n\n"
      f"- fetch: `{cmd['from']}`\n- send: `{cmd['to']}`\n\n")
    body = []
    for op, name in (("from", "fetch of a missing reply"), ("to", "send of a request")):
        base = p[f"{op}_cp"]["median"]
        for kind, label in (("lib", f"`Transport{'From' if op == 'from' else 'To'}`"),
                            ("cp", "bare `cp`"), ("sh", "`/bin/sh -c` running `cp`")):
            st = p[f"{op}_{kind}"]
            body.append([name, label, ms(st["median"]), ms(st["p95"]),
                         r2(st["median"] / base)])
    w(table(["operation", "how", "median", "95th pct.", "ratio to bare `cp`"], body))
    w(f"\nTarget at most 1.1×: {verdict(f['ok']['poll'])} ({r2(f['from'])} for the fetch, "
      f"{r2(f['to'])} for the send). A shell in between would cost {r2(f['from_sh'])} and "
      f"{r2(f['to_sh'])}. The library spawns the copy directly; what it adds is building the "
      "command, a process group and a signal mask for the child, a `sigtimedwait` for its end "
      "instead of `waitpid`, and, for the fetch, removing the old copy first and checking the "
      "new one is readable.")
    pr = r["poll"]["paired"]
    w(" Paired round by round (each round ran every case once), the library's poll took "
      f"{pr['from']['median_difference_us']:+.0f} µs against the bare fetch beside it and "
      f"{pr['to']['median_difference_us']:+.0f} µs against the bare send (medians of the "
      f"differences; per-round ratios {r2(pr['from']['median_ratio'])} and "
      f"{r2(pr['to']['median_ratio'])}), and was the slower of the pair in "
      f"{pr['from']['slower_share'] * 100:.0f}% and {pr['to']['slower_share'] * 100:.0f}% of "
      "the rounds.")
    w("\n\n")

    # 2
    s = r["startup"]["stats"]
    mem = r["memory"]["stats"]
    hello = s["c_hello"]["median"]
    w("## 2. Client start-up and memory, and how the clients are linked\n\n")
    w(f"Start-up: `prwatch` built to read a configuration file that does not exist, so it "
      f"starts, looks for it, prints `Error opening configuration file: …` and exits 255, "
      f"against a C program that only prints a line. {c['start']} runs of each, interleaved, "
      f"output to `/dev/null`.\n\n")
    body = [["C program that prints, linked the ordinary way (the floor)", ms(hello),
             ms(s["c_hello"]["p95"]), "1.00×"],
            ["the same C program linked `-static`", ms(s["c_hello_static"]["median"]),
             ms(s["c_hello_static"]["p95"]), r2(s["c_hello_static"]["median"] / hello)]]
    names = dict(dynamic="`prwatch`, shared C and C++ runtimes",
                 runtime="`prwatch`, `-static-libstdc++ -static-libgcc`",
                 static="`prwatch`, `-static`")
    for mode in ("dynamic", "runtime", "static"):
        st = s["prwatch_" + mode]
        body.append([names[mode] + (" (chosen)" if mode == f["mode"] else ""), ms(st["median"]),
                     ms(st["p95"]), r2(st["median"] / hello)])
    w(table(["program", "median", "95th pct.", "ratio"], body))
    w(f"\nPeak resident memory (VmHWM) of a whole query, `prwatch -nwait 0 -ntries 1000` "
      f"answered by the controller: the harness traces the client only to stop it at its "
      f"exit and read its high-water mark, so the figure is the client's own. `wait4` reports "
      f"the largest of the client and the `cp` children it reaped, shown beside it. "
      f"{r['memory']['runs']} runs each, largest shown.\n\n")
    body = [["C program that prints", mem["c_hello"]["hwm_kib"], mem["c_hello"]["tree_kib"]]]
    for mode in ("dynamic", "runtime", "static"):
        st = mem["prwatch_" + mode]
        body.append([names[mode] + (" (chosen)" if mode == f["mode"] else ""), st["hwm_kib"],
                     st["tree_kib"]])
    body.append(["`cp` fetching a reply, for comparison", mem["cp_fetch"]["hwm_kib"],
                 mem["cp_fetch"]["tree_kib"]])
    w(table(["program", "peak RSS of the process (KiB)", "`wait4` with its children (KiB)"],
            body))
    dyn, rt, st_ = (mem["prwatch_" + k]["hwm_kib"] for k in ("dynamic", "runtime", "static"))
    size = r["startup"]["sizes"]
    w(f"\nTargets: start-up at most 1.3× the C program, {verdict(f['ok']['start'])} "
      f"({r2(f['start'])}); peak memory at most 2 MiB, {verdict(f['ok']['rss'])} "
      f"({f['rss']} KiB).\n\n")
    w("**The choice: `prwatch` and `prbay` are linked fully static** (CMake option "
      "`PRCLIENT_STATIC_CLIENTS`, on by default; it applies to those two programs only, not "
      "to the tests or the controller, and is off by itself when the compiler flags ask for a "
      "sanitizer). A client is a process started for every query and gone a few milliseconds "
      "later, so what it costs is mostly loading: with the shared runtimes the dynamic loader "
      f"maps and relocates `libstdc++`, `libm`, `libgcc_s` and `libc` on every start, which "
      f"makes start-up {r2(s['prwatch_dynamic']['median'] / hello)} the floor and the peak "
      f"{dyn} KiB, {'over' if dyn > TARGETS['rss_kib'] else 'within'} the 2 MiB target; linking only the C++ runtime statically gives "
      f"{r2(s['prwatch_runtime']['median'] / hello)} and {rt} KiB; fully static, "
      f"{r2(s['prwatch_static']['median'] / hello)} and {st_} KiB. The clients call no name "
      "service function (the host name comes from `gethostname`, which is `uname`; no user, "
      "group or host look-ups), so a static C library behaves exactly as the shared one; "
      f"the price is a larger file ({size['prwatch_static'] / 1e6:.1f} MB against "
      f"{size['prwatch_dynamic'] / 1e6:.1f} MB; {size['prwatch_runtime'] / 1e6:.1f} MB with "
      "only the C++ runtime static) and a rebuild to pick up a C library fix. The programs use `<cstdio>` and no `<iostream>`, so no stream objects are "
      f"constructed at start: the static `prwatch` starts in "
      f"{r2(s['prwatch_static']['median'] / s['c_hello_static']['median'])} the time of the C "
      f"program linked statically.\n\n")
    cp_kib = mem["cp_fetch"]["hwm_kib"]
    w(f"The largest process of a whole query is not the client but its copy command: `cp` "
      f"alone peaks at {cp_kib} KiB, as it maps the shared libraries it links "
      f"({', '.join('`' + x + '`' for x in r['memory']['cp_libraries'])}). The 2 MiB target is read here as the client's own "
      f"memory; counted with its copy commands, the peak of the query is `cp`'s, which "
      f"{'is over' if cp_kib > TARGETS['rss_kib'] else 'is within'} 2 MiB whatever the client "
      f"does.\n\n")

    # 3
    e = r["e2e"]
    w("## 3. End-to-end query latency\n\n")
    w(f"`prwatch -nwait 0 -ntries 1000` against the running controller: the client sends its "
      f"request and polls back to back until the reply is there. {e['rounds']} queries, "
      f"interleaved with the two copies that make the floor: one send copy (`/usr/bin/cp` of "
      f"a 132-byte request into the request directory) and one fetch copy (`cp` of a real "
      f"reply out of it), plus the controller's median turnaround for those very queries, "
      f"from its log.\n\n")
    body = [["query", ms(e["query"]["median"]), ms(e["query"]["p95"])],
            ["send copy", ms(e["send"]["median"]), ms(e["send"]["p95"])],
            ["fetch copy", ms(e["fetch"]["median"]), ms(e["fetch"]["p95"])],
            ["controller turnaround", ms(e["turnaround"]["median"]), ms(e["turnaround"]["p95"])],
            ["floor: send + fetch + turnaround", ms(e["floor"]), ms(e["floor95"])],
            ["query ÷ floor", r2(f["e2e"]), r2(f["e2e95"])]]
    w(table(["", "median", "95th pct."], body))
    first = e["first_poll"] / e["rounds"]
    w(f"\nTarget within 1.5× the floor: {verdict(f['ok']['e2e'])} at the median "
      f"({r2(f['e2e'])}); at the 95th percentile, against the sum of the parts' 95th "
      f"percentiles, {verdict(f['ok']['e2e95'])} ({r2(f['e2e95'])}). Beyond its parts a query "
      f"pays for its own start-up (about one C program's, section 2), reading the "
      f"configuration, making the request file and a private directory for the reply, and "
      f"any poll that comes before the reply is in place. How often that happens was "
      f"measured in the same rounds with the query allowed a single poll (`-ntries 1`): "
      f"{e['first_poll']} of {e['rounds']} ({first * 100:.0f}%) found the reply at the first "
      + ("poll, so none paid for a second one: the controller answers within the time the "
         "client takes to start its fetch."
         if e["first_poll"] == e["rounds"] else
         "poll; each of the others paid a whole spawn of `cp` more."))
    if not (f["ok"]["e2e"] and f["ok"]["e2e95"]):
        w(" The target is missed where shown: the floor leaves out the client's start-up, "
          "which on this machine costs about half a copy, and a poll that finds nothing costs "
          "a whole spawn of `cp`; the tail is where both meet a busy scheduler.")
    d = r["default"]["query"]
    w(f"\n\nThe default query (`prwatch` with no options, `-nwait 5`) took {sec(d['median'])} "
      f"(median of {r['default']['runs']}): it waits five seconds before its first poll, so "
      f"the wait is {5e6 / d['median'] * 100:.1f}% of it and everything measured above is "
      f"the rest.\n\n")

    # 4
    cu = r["cups"]
    w("## 4. Against a local CUPS scheduler\n\n")
    if "skipped" in cu:
        w(f"Skipped in this run: {cu['skipped']}.\n\n")
    else:
        cs = cu["stats"]
        w(f"The question users would otherwise ask of CUPS {cu['version']}: a `cupsd` started "
          f"for the run on 127.0.0.1 with a private configuration and spool, one queue on a "
          f"`file:///dev/null` device holding {cu.get('jobs', 3)} held jobs, asked with `lpstat -h "
          f"127.0.0.1:PORT -o` and `lpq -h 127.0.0.1:PORT -P bench`; {cu['rounds']} rounds, "
          f"interleaved with the same `prwatch -nwait 0 -ntries 1000` query as in section 3 "
          f"(which lists twelve jobs).\n\n")
        body = []
        for label, name in (("prwatch", "`prwatch -nwait 0 -ntries 1000`"),
                            ("lpstat", "`lpstat -o`"), ("lpq", "`lpq`"),
                            ("lpstat_start", "`lpstat --help` (start-up only)")):
            st = cs[label]
            body.append([name, ms(st["median"]), ms(st["p95"]),
                         r2(cs["prwatch"]["median"] / st["median"])])
        w(table(["command", "median", "95th pct.", "`prwatch` ÷ this"], body))
        w(f"\n`cupsd` spent {cu['cupsd_cpu_us_per_request']:.0f} µs of CPU per request, against "
          f"{r['turnaround']['cpu_us_per_request']:.0f} µs for `prcontroller` (section 5). "
          f"Of `lpstat -o`'s {ms(cs['lpstat']['median'])}, {ms(cs['lpstat_start']['median'])} "
          f"is its start-up alone (`lpstat --help`: it loads `libcups` and, with it, "
          f"{cu['lpstat_libraries']} shared libraries, TLS, DNS-SD and Kerberos among them); the rest is an IPP exchange over "
          f"TCP. A `prwatch` query's time is its own start-up and two `cp` processes "
          f"(section 3).\n\n")
        b = cu.get("bridge")
        if b:
            bs, bt = b["stats"], b["turnaround"]
            w(f"Through the bridge: the benchmark's `prcontroller` restarted as `prcontroller "
              f"--cups 127.0.0.1:PORT` on the same scheduler and its {cu['jobs']} jobs, the "
              f"same `prwatch` query interleaved with `lpstat -o`, {cu['rounds']} rounds. "
              f"Each answer asks the scheduler over the kept IPP connection (Get-Jobs, every "
              f"job, as a listing without `-s` needs them). The turnaround is the "
              f"controller's own, measured as in section 5: {bt['n']} requests one at a "
              f"time, from a requester that waits for each reply without polling. During "
              f"the interleaved rounds each client polls with `cp` processes in a loop, and "
              f"on {r['machine']['cores']} cores those take the time the scheduler needs to "
              f"answer; the table shows that turnaround too.\n\n")
            w(table(["command", "median", "95th pct."],
                    [["`prwatch -nwait 0 -ntries 1000` through the bridge",
                      ms(bs["bridge"]["median"]), ms(bs["bridge"]["p95"])],
                     ["`lpstat -o`", ms(bs["lpstat"]["median"]), ms(bs["lpstat"]["p95"])],
                     ["bridge turnaround (request complete to reply in place), one request "
                      "at a time", us_(bt["median"]), us_(bt["p95"])]]
                    + ([["bridge turnaround while each client polls with `-nwait 0`",
                         us_(b["turnaround_busy"]["median"]), us_(b["turnaround_busy"]["p95"])]]
                       if "turnaround_busy" in b else [])
                    + ([["the scheduler alone: a bare Get-Jobs exchange, the same attributes",
                         us_(b["scheduler"]["median"]), us_(b["scheduler"]["p95"])]]
                       if "scheduler" in b else [])))
            w("\n")
            if "scheduler" in b:
                sc = b["scheduler"]
                w(f"The scheduler's own time is the bridge's floor: right after those rounds, "
                  f"the same Get-Jobs sent {sc['n']} times as bare HTTP over one kept connection took "
                  f"{us_(sc['median'])} at the median ({us_(sc['min'])} at best), so the bridge "
                  f"adds {us_(max(bt['median'] - sc['median'], 0))} at the median: reading the "
                  f"response, the listing and writing the reply."
                  + (" The 3 ms target is out of reach while `cupsd` alone takes longer."
                     if sc["median"] >= TARGETS["bridge_turnaround_us"] else "") + "\n\n")

    # 5
    t = r["turnaround"]
    w("## 5. `prcontroller`: turnaround and load\n\n")
    w(f"Turnaround, request complete to reply in place: the harness wrote {t['requests']} "
      f"requests one after another, each under a name the controller ignores and renamed into "
      f"the request directory, so each was complete the moment it appeared. The controller "
      f"logs every answer with the time from its first look at the request to the reply "
      f"renamed into place and the request removed; the harness also timed each from its "
      f"rename to its seeing the reply's rename through inotify, which adds the controller's "
      f"wake-up and its own but not the removal.\n\n")
    body = [["as the controller logs it", us_(t["logged"]["median"]), us_(t["logged"]["p95"]),
             us_(t["logged"]["p99"])],
            ["as the harness sees it", us_(t["external"]["median"]), us_(t["external"]["p95"]),
             us_(t["external"]["p99"])]]
    w(table(["turnaround", "median", "95th pct.", "99th pct."], body))
    w(f"\nTarget: median under 1 ms, {verdict(f['ok']['turn'])}. The controller used "
      f"{t['cpu_us_per_request']:.0f} µs of CPU per request, most of it in the kernel: "
      f"opening and reading the request, creating, writing and renaming the reply, removing "
      f"the request and writing the log line.\n\n")
    w("Load: N `prwatch -nwait 1 -ntries 1` clients started at once: the harness forks them "
      "all first, holds them at a pipe and releases them together, so they start at the same "
      "moment rather than over the time one process needs to start hundreds. With a single "
      "poll, a client "
      "answered at its first poll is exactly one that exits 0; the others would say `Server "
      "not responding` and exit 255. A client's time runs from the release to its exit and "
      "includes the one-second wait before the poll. The controller's CPU time is read from "
      "`/proc/PID/schedstat` before and after.\n\n")
    body = []
    for x in r["load"]:
        lat = x["latency"]
        tu = x["turnaround"] or {}
        body.append([x["clients"], f"{x['answered_first_poll']} of {x['clients']}",
                     sec(lat["median"]), sec(lat["p95"]), sec(x["last_us"]),
                     us_(tu.get("median", 0)), us_(tu.get("p99", 0)),
                     us_(x["cpu_us_per_request"])])
    w(table(["clients", "answered at first poll", "client time, median", "95th pct.",
             "last exited after", "turnaround median", "99th pct.",
             "controller CPU per request"], body))
    w(f"\nTarget: every client answered at its first poll, {verdict(f['ok']['load'])}.")
    worst = max(((x["turnaround"] or {}).get("p99", 0), x["clients"]) for x in r["load"])
    if worst[0] > TARGETS["turnaround_us"]:
        w(f" The controller's 99th percentile under load ({us_(worst[0])} with {worst[1]} "
          f"clients) is time spent waiting for a core, not working: it is one process among "
          f"hundreds that are runnable on two cores, and a request during which it is "
          f"preempted counts the wait; its median stays at "
          f"{us_(max((x['turnaround'] or {}).get('median', 0) for x in r['load']))} or less "
          f"and its CPU time per request between "
          f"{us_(min(x['cpu_us_per_request'] for x in r['load']))} and "
          f"{us_(max(x['cpu_us_per_request'] for x in r['load']))}.")
    if not f["ok"]["load"]:
        w(" Some clients were not: on two cores the clients' own start-up and copies compete "
          "with the controller, so replies came later than the one second the clients waited.")
    w(" Past the one-second wait, a client's time is its share of two cores among N clients "
      "each starting and running two `cp` processes; the controller's part, its turnaround "
      "times the number of requests, is small beside that.\n")
    w(remote_section(r.get("remote")))
    return "".join(out)


REMOTE_WAYS = (("rcp", "`rcp` (the default build)"),
               ("scp_fresh", "`scp`, a fresh connection each time"),
               ("scp_shared", "`scp` through a shared connection"))


def remote_section(rm):
    """Section 6: the copies to and from a controller on another host."""
    out = ["\n## 6. Remote copies: `rcp`, `scp`, and `scp` over a shared connection\n\n"]
    w = out.append
    if not rm or "skipped" in rm:
        w(f"Not measured in this run: {rm['skipped'] if rm else 'an older run'}.\n")
        return "".join(out)
    st = rm["stats"]
    w(f"A client whose controller is another host copies with `rcp`, or with `scp` when built "
      f"with `PRCLIENT_REMOTE=ssh`. The harness ran a private `in.rshd` (under `inetd`) and a "
      f"private `sshd` ({rm['ssh']}) on loopback, in network and mount namespaces of their "
      f"own, and spawned the client's copy commands {rm['rounds']} times each, interleaved: "
      f"sending a 132-byte request and fetching a reply, the two copies of a query answered at "
      f"its first poll. The shared connection is the one an `ssh_config` with "
      f"`ControlMaster auto`, `ControlPersist 60` and a `ControlPath` in a private directory "
      f"keeps open; the fresh one has `ControlMaster no`. Both have `BatchMode yes`.\n\n")
    ways = [(k, label) for k, label in REMOTE_WAYS if f"{k}_send" in st]
    base = st["rcp_send"]["median"] + st["rcp_fetch"]["median"] if "rcp_send" in st else None
    body = []
    for k, label in ways:
        both = st[f"{k}_send"]["median"] + st[f"{k}_fetch"]["median"]
        body.append([label, ms(st[f"{k}_send"]["median"]), ms(st[f"{k}_send"]["p95"]),
                     ms(st[f"{k}_fetch"]["median"]), ms(st[f"{k}_fetch"]["p95"]), ms(both),
                     r2(both / base) if base else "—"])
    w(table(["copy", "send, median", "95th pct.", "fetch, median", "95th pct.",
             "send + fetch", "ratio to `rcp`"], body))
    fresh = st["scp_fresh_fetch"]["median"]
    shared = st["scp_shared_fetch"]["median"]
    w(f"\nEvery poll is one fetch, so a fresh connection costs {ms(fresh)} a poll and a shared "
      f"one {ms(shared)}: the key exchange and the login are paid once per connection "
      f"(and on a real network each adds round trips), while `scp` through an open "
      f"connection only asks it for one more SFTP session. A site "
      f"that builds for ssh should therefore share connections (`ControlMaster auto`, "
      f"`ControlPersist`, a `ControlPath` under a directory only the user can open), set "
      f"`BatchMode yes` so that a missing key or an unknown host fails at once instead of "
      f"waiting at a prompt nobody may see, and a `ConnectTimeout` so that an unreachable "
      f"controller fails in seconds; these belong to the site's `ssh_config`, not to the "
      f"clients.\n")
    return "".join(out)


# ---- the plot ------------------------------------------------------------------

def plot(r, f, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    loads = r["load"]
    n = [x["clients"] for x in loads]
    fig, (a, b, c) = plt.subplots(1, 3, figsize=(15, 4.6), dpi=100)

    for key, label, style in (("median", "median", "o-"), ("p95", "95th percentile", "s--"),
                              ("max", "slowest", "^:")):
        a.plot(n, [x["latency"][key] / 1e6 for x in loads], style, label=label)
    a.plot(n, [x["last_us"] / 1e6 for x in loads], "x-.", label="until the last exits")
    a.axhline(1.0, color="grey", linewidth=0.8)
    a.text(n[0], 1.0, " -nwait 1", va="bottom", color="grey", fontsize=8)
    a.set_xlabel("prwatch clients started at once")
    a.set_ylabel("seconds from release to exit")
    a.set_title("Client latency under load")
    a.set_ylim(bottom=0)
    a.legend(fontsize=8)

    b.plot(n, [(x["turnaround"] or {}).get("median", 0) for x in loads], "o-", label="median")
    b.plot(n, [(x["turnaround"] or {}).get("p99", 0) for x in loads], "s--",
           label="99th percentile")
    b.plot(n, [x["cpu_us_per_request"] for x in loads], "^:", label="CPU time per request")
    b.axhline(1000, color="grey", linewidth=0.8)
    b.text(n[0], 1000, " 1 ms target (median)", va="bottom", color="grey", fontsize=8)
    b.set_xlabel("prwatch clients started at once")
    b.set_ylabel("microseconds (log scale)")
    b.set_yscale("log")
    b.set_title("prcontroller turnaround under load")
    b.legend(fontsize=8)

    bars = [("per-poll fetch", f["from"], TARGETS["poll"]),
            ("per-poll send", f["to"], TARGETS["poll"]),
            ("client start-up", f["start"], TARGETS["start"]),
            ("peak memory (MiB)", f["rss"] / 1024, TARGETS["rss_kib"] / 1024),
            ("query vs floor", f["e2e"], TARGETS["e2e"]),
            ("turnaround (ms)", f["turn"] / 1000, TARGETS["turnaround_us"] / 1000)]
    names = [x[0] for x in bars]
    share = [x[1] / x[2] for x in bars]
    colours = ["tab:green" if v <= 1 else "tab:red" for v in share]
    c.barh(names, share, color=colours)
    c.axvline(1.0, color="black", linewidth=1)
    for i, (_, value, target) in enumerate(bars):
        c.text(share[i], i, f" {value:.2f} / {target:g}", va="center", fontsize=8)
    c.invert_yaxis()
    c.set_xlim(0, max(1.6, max(share) * 1.35))
    c.set_xlabel("measured ÷ target (left of the line: met)")
    c.set_title("Against the targets")

    fig.suptitle(f"prclient benchmarks, {r['machine']['date']}, {r['machine']['cores']} cores",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write(results, out, smoke):
    f = figures(results)
    plotted = can_plot()
    if plotted:
        plot(results, f, os.path.join(out, "performance.png"))
    with open(os.path.join(out, "performance.md"), "w") as fh:
        fh.write(page(results, f, smoke, plotted))
    return plotted
