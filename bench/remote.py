#!/usr/bin/env python3
"""The copies a client makes per poll to another host, on loopback: rcp
against a private in.rshd, scp on a fresh connection each time, and scp
through a shared connection (ControlMaster), each sending a 132-byte request
and fetching a reply. bench.py runs this as root under `unshare -mn`: its
own loopback holds sshd's port and the shell service's, 514, which rcp
cannot be told otherwise; its own mounts hold a private /run and a copy of
/etc/passwd giving root a private home, where ssh and rshd look for their
files. Prints its results as JSON.

Usage: remote.py ROOT BUILD ROUNDS
"""

import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import Bench, BenchError, read, run, start, stop, wait_for  # noqa: E402


def listening(port):
    return f"0100007F:{port:04X} 00000000:0000 0A" in read("/proc/self/net/tcp")


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def main():
    bench = Bench(sys.argv[1], sys.argv[2], None)
    root, area, rounds = bench.root, bench.area, int(sys.argv[3])
    home, remote, sshd = (os.path.join(area, d) for d in ("home", "remote-dir", "sshd"))
    for d in (home, remote, sshd):
        shutil.rmtree(d, ignore_errors=True)
    for d in (os.path.join(home, ".ssh"), remote):
        os.makedirs(d, mode=0o700)
    run(["ip", "link", "set", "lo", "up"])
    run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run"])
    # A control socket's path must fit 108 bytes with ssh's 17-byte suffix
    # for its temporary name; a deep checkout leaves no room for that.
    os.makedirs("/run/control", mode=0o700)
    # The first entry for a name or a user id is the one that counts.
    write(os.path.join(area, "passwd"), f"root:x:0:0:root:{home}:/bin/sh\n" + read("/etc/passwd"))
    run(["mount", "--bind", os.path.join(area, "passwd"), "/etc/passwd"])
    run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(home, ".ssh", "id")])
    # What a site would set for the clients: no prompts, a bounded wait,
    # and for the shared alias one connection kept for a minute.
    common = (f"HostName 127.0.0.1\nIdentityFile {home}/.ssh/id\n"
              f"UserKnownHostsFile {home}/.ssh/known_hosts\nBatchMode yes\nConnectTimeout 5\n")
    write(os.path.join(home, ".ssh", "config"),
          f"Host fresh\n{common}ControlMaster no\nControlPath none\nHost shared\n{common}"
          "ControlMaster auto\nControlPersist 60\nControlPath /run/control/%C\n")
    write(os.path.join(home, ".rhosts"), "localhost root\n", 0o600)
    tools = os.path.join(root, "tools")
    servers = [start([os.path.join(tools, "private-sshd"), sshd], os.path.join(area, "sshd.log"))]
    try:
        wait_for(lambda: listening(22), servers[0], "sshd")
        write(os.path.join(home, ".ssh", "known_hosts"),
              "127.0.0.1 " + read(os.path.join(sshd, "hostkey.pub")))
        shutil.copy(os.path.join(home, ".ssh", "id.pub"), os.path.join(sshd, "authorized_keys"))
        hosts = [("scp_fresh", "scp", "fresh"), ("scp_shared", "scp", "shared")]
        if all(os.access(p, os.X_OK) for p in ("/usr/sbin/inetd", "/usr/sbin/in.rshd",
                                               "/usr/bin/rcp")):
            servers.append(start([os.path.join(tools, "private-rshd"), os.path.join(area, "inetd")],
                                 os.path.join(area, "inetd.log")))
            wait_for(lambda: listening(514), servers[1], "inetd")
            hosts.insert(0, ("rcp", "rcp", "localhost"))
        reply = os.path.join(remote, "bench-reply")
        write(reply, "0\nreply\n")
        commands = []
        for label, tool, host in hosts:
            opts = [] if tool == "rcp" else ["--"]
            commands += [(label + "_send", [tool, *opts, os.path.join(area, "request-sample"),
                                            f"{host}:{remote}/bench-send"]),
                         (label + "_fetch", [tool, *opts, f"{host}:{reply}",
                                             os.path.join(area, "scratch", "fetched-remote")])]
        out = bench.spawn(rounds, commands)
        stats = {label: bench.times(out, label) for label, _ in commands}
        run(["ssh", "-O", "exit", "shared"])
    finally:
        for proc in reversed(servers):
            stop(proc)
    ssh = subprocess.run(["ssh", "-V"], capture_output=True, text=True).stderr.strip()
    json.dump(dict(stats=stats, ssh=ssh), sys.stdout)


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        sys.exit(f"remote.py: {e}")
