"""Fills the tables of performance.md, each between the markers
<!-- bench:NAME --> and <!-- /bench:NAME -->, and draws performance.png,
from the results bench.py measured. The page's text is written by hand and
says how each table is measured."""

import os
import re

TARGETS = dict(poll=1.1, start=1.3, rss_kib=2048, e2e=1.5, turnaround_us=1000, bridge=1.0,
               bridge_turnaround_us=3000, huge_us=1e6, stop_s=1.0)
LINKING = dict(dynamic="`prwatch`, shared C and C++ runtimes",
               runtime="`prwatch`, `-static-libstdc++ -static-libgcc`",
               static="`prwatch`, `-static`")


def can_plot():
    try:
        import matplotlib  # noqa: F401
        return True
    except ImportError:
        return False


def ms(value): return f"{value / 1000:.2f} ms"  # noqa: E704  (from µs)
def us(value): return f"{value:.0f} µs"  # noqa: E704
def times(ratio): return f"{ratio:.2f}×"  # noqa: E704
def verdict(ok): return "" if ok is None else "**met**" if ok else "**missed**"  # noqa: E704


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]) + "\n"


def chosen(r):
    """How the installed clients are linked."""
    return "static" if r["machine"]["static_clients"] else "dynamic"


def vs(label, value, floor, name, target=None):
    """A summary row of a time against its floor, with its target if any."""
    ratio = value / floor
    return [label, ms(value), f"{name}, {ms(floor)}", times(ratio),
            f"≤ {target}×" if target else "report", ratio <= target if target else None]


def summary_table(r):
    """Each row: what, measured, floor, ratio, target, and whether it is
    met (None: reported only)."""
    p, s, e, t = r["poll"]["stats"], r["startup"]["stats"], r["e2e"], r["turnaround"]["logged"]
    mode = chosen(r)
    rss = r["memory"]["stats"]["prwatch_" + mode]["hwm_kib"]
    rows = [
        vs("1. one poll that finds the reply (`TransportFrom`)", p["from_lib"]["median"],
           p["from_cp"]["median"], "bare `cp`", TARGETS["poll"]),
        vs("1. sending the request (`TransportTo`)", p["to_lib"]["median"], p["to_cp"]["median"],
           "bare `cp`", TARGETS["poll"]),
        ["1. one poll that finds no reply", us(p["missing_lib"]["median"]), "—", "—", "report",
         None],
        vs(f"2. `prwatch` start-up, missing configuration ({mode} build)",
           s["prwatch_" + mode]["median"], s["c_hello"]["median"], "C program that prints",
           TARGETS["start"]),
        ["2. peak resident memory of a whole `prwatch` query", f"{rss} KiB", "—", "—",
         "≤ 2048 KiB", rss <= TARGETS["rss_kib"]],
        vs("3. query `prwatch -nwait 0`, median", e["query"]["median"], e["floor"],
           "send + fetch + turnaround", TARGETS["e2e"]),
        vs("3. same, 95th percentile", e["query"]["p95"], e["floor95"],
           "the parts' 95th percentiles", TARGETS["e2e"]),
        ["3. default query (`-nwait 5`), median", f"{r['default']['median'] / 1e6:.2f} s", "—", "—",
         "the wait dominates", None]]
    c = r["cups"]
    if "skipped" in c:
        rows.append(["4. against CUPS", "skipped: " + c["skipped"], "", "", "report", None])
    else:
        cs, bs, bt = c["stats"], c["bridge"]["stats"], c["bridge"]["turnaround"]["median"]
        rows += [vs(f"4. `prwatch` query against {name} on a local `cupsd`",
                    cs["prwatch"]["median"], cs[tool]["median"], name)
                 for tool, name in (("lpstat", "`lpstat -o`"), ("lpq", "`lpq`"))]
        rows += [vs(f"4. `prwatch` through `prcontroller --cups`, {c['jobs']} jobs",
                    bs["bridge"]["median"], bs["lpstat"]["median"], "`lpstat -o`",
                    TARGETS["bridge"]),
                 [f"4. bridge turnaround, {c['jobs']} jobs, median", us(bt), "—", "—", "≤ 3 ms",
                  bt <= TARGETS["bridge_turnaround_us"]]]
    h = r["huge_listing"]
    rows += [["5. controller turnaround, median", us(t["median"]), "—", "—", "< 1 ms",
              t["median"] < TARGETS["turnaround_us"]],
             ["5. controller turnaround, 99th percentile", us(t["p99"]), "—", "—", "—", None],
             [f"5. listing {h['jobs']} jobs, one named with 1 MiB, median",
              ms(h["listing"]["median"]), "—", "—", "< 1 s",
              h["listing"]["max"] < TARGETS["huge_us"]],
             ["5. SIGTERM behind a queue of such listings", f"{h['stop_s']:.2f} s", "—", "—",
              "< 1 s", h["stop_s"] < TARGETS["stop_s"]]]
    rows += [[f"5. {x['clients']} clients at once: answered at the first poll",
              f"{x['answered']} of {x['clients']}", "—", "—", "all", x["answered"] == x["clients"]]
             for x in r["load"]]
    st = r["remote"].get("stats", {})
    if not st:
        rows.append(["6. remote copies", "skipped: " + r["remote"]["skipped"], "", "", "report",
                     None])
    both = {k: st[k + "_send"]["median"] + st[k + "_fetch"]["median"]
            for k in ("rcp", "scp_fresh", "scp_shared") if k + "_send" in st}
    for k, name in (("scp_fresh", "fresh connections"), ("scp_shared", "a shared connection")):
        label = f"6. send and fetch over `scp`, {name}"
        if k in both:
            rows.append(vs(label, both[k], both["rcp"], "`rcp`") if "rcp" in both else
                        [label, ms(both[k]), "—", "—", "report", None])
    return table(["what", "measured", "floor", "ratio", "target", ""],
                 [row[:5] + [verdict(row[5])] for row in rows])


def run_table(r):
    m, c, q = r["machine"], r["counts"], r["machine"]["quiet_wait"]
    quiet = ("not waited for" if not q["asked"] else "reached" if q["quiet"] else
             f"not reached within {q['asked']:.0f} minutes: a busy machine")
    seconds = r["seconds"]
    return table(["run", ""], [
        ["command", f"`{r['command']}`" + (" (tiny counts: the figures mean nothing)"
                                           if r["command"].endswith("--smoke") else "")],
        ["date", m["date"]],
        ["duration", f"{seconds:.0f} seconds" if seconds < 120 else f"{seconds / 60:.0f} minutes"],
        ["machine", f"{m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB of memory"],
        ["system", f"Linux {m['kernel']}, {m['os']}"],
        ["compiler", f"{m['compiler']}, {m['build_type']} build of commit {m['commit']}"],
        ["one-minute load average", f"{m['load_start']:.2f} at the start, "
         f"{m['load_before_load']:.2f} before the load runs, {m['load_end']:.2f} at the end"],
        ["a quiet machine (load average under 0.5)", quiet],
        ["counts", ", ".join(f"{k} {'/'.join(map(str, v)) if isinstance(v, list) else v}"
                             for k, v in c.items())]])


def poll_tables(r):
    p, pr, cmd = r["poll"]["stats"], r["poll"]["paired"], r["poll"]["commands"]
    rows = []
    for op, name, call in (("from", "fetch of a reply", "TransportFrom"),
                           ("to", "send of a request", "TransportTo")):
        base = p[op + "_cp"]["median"]
        for kind, how in (("lib", f"`{call}`"), ("cp", "bare `cp`"),
                          ("sh", "`/bin/sh -c` running `cp`")):
            st = p[f"{op}_{kind}"]
            rows.append([name, how, ms(st["median"]), ms(st["p95"]), times(st["median"] / base)])
    st = p["missing_lib"]
    rows.append(["a poll that finds no reply", "`TransportFrom`", ms(st["median"]), ms(st["p95"]),
                 times(st["median"] / p["from_cp"]["median"])])
    return (table(["copy", "command"], [["fetch", f"`{cmd['from']}`"], ["send", f"`{cmd['to']}`"]])
            + "\n" + table(["operation", "how", "median", "95th pct.", "ratio to bare `cp`"], rows)
            + "\n" + table(["paired round by round", "fetch", "send"], [
                ["median of (library − bare `cp`)", *(f"{pr[o]['difference']:+.0f} µs"
                                                      for o in ("from", "to"))],
                ["median of (library ÷ bare `cp`)",
                 *(times(pr[o]["ratio"]) for o in ("from", "to"))],
                ["rounds where the library was slower",
                 *(f"{pr[o]['slower'] * 100:.0f}%" for o in ("from", "to"))]]))


def startup_tables(r):
    s, size, mem = r["startup"]["stats"], r["startup"]["sizes"], r["memory"]["stats"]
    hello, static = s["c_hello"]["median"], s["c_hello_static"]["median"]
    rows = [["C program that prints, linked the ordinary way (the floor)", "c_hello", "—"],
            ["the same C program linked `-static`", "c_hello_static", "—"]]
    rows += [[LINKING[m] + (" (chosen)" if m == chosen(r) else ""), "prwatch_" + m,
              f"{size[m] / 1e6:.1f} MB"] for m in LINKING]
    start = table(["program", "median", "95th pct.", "ratio", "ratio to static C", "file size"],
                  [[name, ms(s[k]["median"]), ms(s[k]["p95"]), times(s[k]["median"] / hello),
                    times(s[k]["median"] / static), mb] for name, k, mb in rows])
    rows = [["C program that prints", "c_hello"]]
    rows += [[LINKING[m] + (" (chosen)" if m == chosen(r) else ""), "prwatch_" + m]
             for m in LINKING]
    rows += [["`cp` fetching a reply, for comparison", "cp_fetch"]]
    memory = table(["program", "peak RSS of the process (KiB)", "`wait4` with its children (KiB)"],
                   [[name, mem[k]["hwm_kib"], mem[k]["tree_kib"]] for name, k in rows])
    libs = ", ".join(f"`{x}`" for x in r["memory"]["cp_libraries"])
    return start + "\n" + memory + f"\nShared libraries `cp` maps: {libs}.\n"


def e2e_tables(r):
    e, d = r["e2e"], r["default"]
    parts = [("query", "query"), ("send copy", "send"), ("fetch copy", "fetch"),
             ("controller turnaround", "turnaround")]
    rows = [[name, ms(e[k]["median"]), ms(e[k]["p95"])] for name, k in parts]
    rows += [["floor: send + fetch + turnaround", ms(e["floor"]), ms(e["floor95"])],
             ["query ÷ floor", times(e["query"]["median"] / e["floor"]),
              times(e["query"]["p95"] / e["floor95"])]]
    n = e["query"]["n"]
    return table(["", "median", "95th pct."], rows) + "\n" + table(["", ""], [
        ["queries allowed one poll (`-ntries 1`) that found the reply",
         f"{e['first_poll']} of {n} ({e['first_poll'] / n * 100:.0f}%)"],
        [f"default query (`prwatch`, `-nwait 5`), median of {d['n']}",
         f"{d['median'] / 1e6:.2f} s"],
        ["the five-second wait's share of it", f"{5e6 / d['median'] * 100:.1f}%"]])


def cups_tables(r):
    c = r["cups"]
    if "skipped" in c:
        return f"Not measured in this run: {c['skipped']}.\n"
    cs, b = c["stats"], c["bridge"]
    names = (("prwatch", "`prwatch -nwait 0`"), ("lpstat", "`lpstat -o`"), ("lpq", "`lpq`"),
             ("lpstat_start", "`lpstat --help` (start-up only)"))
    compare = table(["command", "median", "95th pct.", "`prwatch` ÷ this"],
                    [[name, ms(cs[k]["median"]), ms(cs[k]["p95"]),
                      times(cs["prwatch"]["median"] / cs[k]["median"])] for k, name in names])
    facts = table(["", ""], [
        ["CUPS", c["version"]], ["held jobs on the queue", c["jobs"]],
        ["`cupsd` CPU time per request", us(c["cupsd_cpu_us"])],
        ["`prcontroller` CPU time per request (section 5)", us(r["turnaround"]["cpu_us"])],
        ["shared libraries `lpstat` loads", c["lpstat_libraries"]]])
    bs, sc = b["stats"], b["scheduler"]
    rows = [["`prwatch -nwait 0` through the bridge", bs["bridge"], ms],
            ["`lpstat -o`", bs["lpstat"], ms],
            ["bridge turnaround, one request at a time", b["turnaround"], us],
            ["bridge turnaround while each client polls with `-nwait 0`", b["turnaround_busy"], us],
            ["the scheduler alone: a bare Get-Jobs exchange, the same attributes", sc, us]]
    bridge = table(["command", "median", "95th pct."],
                   [[name, unit(st["median"]), unit(st["p95"])] for name, st, unit in rows]
                   + [["the scheduler alone, at best", us(sc["min"]), ""],
                      ["what the bridge adds at the median",
                       us(max(b["turnaround"]["median"] - sc["median"], 0)), ""]])
    return compare + "\n" + facts + "\n" + bridge


def turnaround_table(r):
    t = r["turnaround"]
    return table(["turnaround", "median", "95th pct.", "99th pct."], [
        [name, us(t[k]["median"]), us(t[k]["p95"]), us(t[k]["p99"])]
        for name, k in (("as the controller logs it", "logged"),
                        ("as the harness sees it", "external"))]
        + [["controller CPU time per request", us(t["cpu_us"]), "", ""]])


def load_table(r):
    rows = []
    for x in r["load"]:
        lat, tu = x["latency"], x["turnaround"] or dict(median=0, p99=0)
        rows.append([x["clients"], f"{x['answered']} of {x['clients']}",
                     f"{lat['median'] / 1e6:.2f} s", f"{lat['p95'] / 1e6:.2f} s",
                     f"{x['last_us'] / 1e6:.2f} s", us(tu["median"]), us(tu["p99"]),
                     us(x["cpu_us"])])
    return table(["clients", "answered at first poll", "client time, median", "95th pct.",
                  "last exited after", "turnaround median", "99th pct.",
                  "controller CPU per request"], rows)


def remote_table(r):
    rm = r["remote"]
    if "skipped" in rm:
        return f"Not measured in this run: {rm['skipped']}.\n"
    st = rm["stats"]
    base = st["rcp_send"]["median"] + st["rcp_fetch"]["median"] if "rcp_send" in st else None
    rows = []
    for k, name in (("rcp", "`rcp` (the default build)"),
                    ("scp_fresh", "`scp`, a fresh connection each time"),
                    ("scp_shared", "`scp` through a shared connection")):
        if k + "_send" in st:
            send, fetch = st[k + "_send"], st[k + "_fetch"]
            both = send["median"] + fetch["median"]
            rows.append([name, ms(send["median"]), ms(send["p95"]), ms(fetch["median"]),
                         ms(fetch["p95"]), ms(both), times(both / base) if base else "—"])
    return (table(["copy", "send, median", "95th pct.", "fetch, median", "95th pct.",
                   "send + fetch", "ratio to `rcp`"], rows) + f"\n`ssh -V`: {rm['ssh']}.\n")


def site_table(r):
    x = r["site"]
    if "skipped" in x:
        return f"Not measured in this run: {x['skipped']}.\n"
    pw, lp, st, b, h = x["prwatch"], x["lpstat"], x["halted"], x["burst"], x["stopped"]
    want = f"All jobs: {x['jobs'] + 1}"
    rows = [["measured on", x["date"], "", None],
            [f"{x['jobs']} held jobs submitted, 4 at a time", f"{x['submit_s']:.0f} s", "", None],
            ["`prwatch`, first line", x["first"], want, x["first"] == want],
            ["`prwatch -p drücker-ü` lists its job", "yes" if x["umlaut"] else "no", "yes",
             x["umlaut"]],
            [f"{b} `prwatch` at once: answered with the full listing", f"{x['full']} of {b}",
             "all", x["full"] == b],
            ["the same: wall time", f"{pw['last_s']:.1f} s", "", None],
            ["the same: controller CPU time", f"{x['cpu_s']:.2f} s", "≤ 5 s", x["cpu_s"] <= 5],
            [f"{b} `lpstat -o` at once: wall time",
             f"{lp['last_s']:.1f} s ({lp['status'].count(0)} of {b} exited 0)", "", None],
            ["`prwatch` burst ÷ `lpstat -o` burst", times(pw["last_s"] / lp["last_s"]), "≤ 0.3×",
             pw["last_s"] <= 0.3 * lp["last_s"]],
            [f"{h} `prwatch` at once, scheduler stopped: status 5",
             f"{st['status'].count(5)} of {h}", "all", st["status"].count(5) == h],
            ["the same: the slowest ended after", f"{st['last_s']:.1f} s", "≤ 3 s",
             st["last_s"] <= 3]]
    return table(["what", "measured", "target", ""], [w[:3] + [verdict(w[3])] for w in rows])


def plot(r, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    loads = r["load"]
    n = [x["clients"] for x in loads]
    fig, (a, b, c) = plt.subplots(1, 3, figsize=(15, 4.6), dpi=100)
    for key, label, style in (("median", "median", "o-"), ("p95", "95th percentile", "s--"),
                              ("max", "slowest", "^:")):
        a.plot(n, [x["latency"][key] / 1e6 for x in loads], style, label=label)
    a.axhline(1.0, color="grey", linewidth=0.8)
    a.set(xlabel="prwatch clients started at once", ylabel="seconds from release to exit",
          title="Client latency under load (-nwait 1)", ylim=(0, None))
    a.legend(fontsize=8)
    for key, label, style in (("median", "median", "o-"), ("p99", "99th percentile", "s--")):
        b.plot(n, [(x["turnaround"] or {}).get(key, 0) for x in loads], style, label=label)
    b.plot(n, [x["cpu_us"] for x in loads], "^:", label="CPU time per request")
    b.axhline(TARGETS["turnaround_us"], color="grey", linewidth=0.8)
    b.set(xlabel="prwatch clients started at once", ylabel="microseconds (log scale)",
          yscale="log", title="prcontroller turnaround under load (target 1 ms)")
    b.legend(fontsize=8)
    p, s, e, mode = r["poll"]["stats"], r["startup"]["stats"], r["e2e"], chosen(r)
    bars = [("per-poll fetch", p["from_lib"]["median"] / p["from_cp"]["median"], TARGETS["poll"]),
            ("per-poll send", p["to_lib"]["median"] / p["to_cp"]["median"], TARGETS["poll"]),
            ("client start-up", s["prwatch_" + mode]["median"] / s["c_hello"]["median"],
             TARGETS["start"]),
            ("peak memory (MiB)", r["memory"]["stats"]["prwatch_" + mode]["hwm_kib"] / 1024,
             TARGETS["rss_kib"] / 1024),
            ("query vs floor", e["query"]["median"] / e["floor"], TARGETS["e2e"]),
            ("turnaround (ms)", r["turnaround"]["logged"]["median"] / 1000,
             TARGETS["turnaround_us"] / 1000)]
    share = [value / target for _, value, target in bars]
    c.barh([x[0] for x in bars], share, color=["tab:green" if v <= 1 else "tab:red" for v in share])
    c.axvline(1.0, color="black", linewidth=1)
    for i, (_, value, target) in enumerate(bars):
        c.text(share[i], i, f" {value:.2f} / {target:g}", va="center", fontsize=8)
    c.invert_yaxis()
    c.set(xlim=(0, max(1.6, max(share) * 1.35)), title="Against the targets",
          xlabel="measured ÷ target (left of the line: met)")
    fig.suptitle(f"prclient benchmarks, {r['machine']['date']}, {r['machine']['cores']} cores",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write(r, template, out, only=None):
    """Fills the tables of the page `template` into out/performance.md: all,
    or the one named `only` and not the plot."""
    tables = dict(run=run_table, summary=summary_table, poll=poll_tables, startup=startup_tables,
                  e2e=e2e_tables, cups=cups_tables, turnaround=turnaround_table, load=load_table,
                  remote=remote_table, site=site_table)
    with open(template) as fh:
        page = fh.read()
    for name in [only] if only else tables:
        text = tables[name](r)
        marked = re.compile(rf"(<!-- bench:{name} -->\n).*?(<!-- /bench:{name} -->)", re.S)
        if not marked.search(page):
            raise SystemExit(f"bench: {template} has no <!-- bench:{name} --> table")
        page = marked.sub(lambda m: m[1] + "\n" + text + "\n" + m[2], page)
    if can_plot() and not only:
        plot(r, os.path.join(out, "performance.png"))
    with open(os.path.join(out, "performance.md"), "w") as fh:
        fh.write(page)
