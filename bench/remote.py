#!/usr/bin/env python3
"""The remote copies a client makes per poll, on loopback: rcp against a
private in.rshd, scp on a fresh connection each time, and scp through a
shared connection (ControlMaster), each sending a 132-byte request and
fetching a reply. bench.py runs this under `unshare -mn`, as root: a network
namespace of its own for the shell service's port, 514, which rcp cannot be
told otherwise, and a mount namespace for sshd's /run and for a copy of
/etc/passwd giving root a private home, where ssh and rshd look for their
files. Prints its results as JSON.

Usage: remote.py AREA PRBENCH ROUNDS
"""

import json
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import BenchError, free_port, run, stop, summary  # noqa: E402

SSHD = "/usr/sbin/sshd"
INETD = "/usr/sbin/inetd"
RSHD = "/usr/sbin/in.rshd"


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def wait_listening(port, proc, what):
    line = f"0100007F:{port:04X} 00000000:0000 0A"
    deadline = time.monotonic() + 10
    while line not in open("/proc/self/net/tcp").read():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise BenchError(f"{what} does not listen")
        time.sleep(0.02)


def main():
    area, prbench, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    home = os.path.join(area, "home")
    remote = os.path.join(area, "remote-dir")
    for d in (home, remote):
        shutil.rmtree(d, ignore_errors=True)
    for d in (home, os.path.join(home, ".ssh"), remote):
        os.makedirs(d, mode=0o700)
    run(["ip", "link", "set", "lo", "up"], 10)
    run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run"], 10)
    os.makedirs("/run/sshd")
    # A control socket's path must fit 108 bytes with ssh's 17-byte suffix
    # for its temporary name; a deep checkout does not leave room for that.
    os.makedirs("/run/control", mode=0o700)
    # The first entry for a name or a user id is the one that counts.
    write(os.path.join(area, "passwd"),
          f"root:x:0:0:root:{home}:/bin/sh\n" + open("/etc/passwd").read())
    run(["mount", "--bind", os.path.join(area, "passwd"), "/etc/passwd"], 10)

    for key in ("hostkey", ".ssh/id"):
        run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(home, key)], 30)
    port = free_port()
    write(os.path.join(area, "sshd_config"),
          f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {home}/hostkey\n"
          f"PidFile {area}/sshd.pid\nAuthorizedKeysFile {home}/.ssh/id.pub\nStrictModes no\n"
          "UsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
          "Subsystem sftp internal-sftp\n")
    # What a site would set for the clients: no prompts, a bounded wait,
    # and for the shared alias one connection kept for a minute.
    common = (f"HostName 127.0.0.1\nPort {port}\nIdentityFile {home}/.ssh/id\n"
              f"UserKnownHostsFile {home}/.ssh/known_hosts\nBatchMode yes\nConnectTimeout 5\n")
    write(os.path.join(home, ".ssh", "config"),
          f"Host fresh\n{common}ControlMaster no\nControlPath none\n"
          f"Host shared\n{common}ControlMaster auto\nControlPersist 60\n"
          "ControlPath /run/control/%C\n")
    with open(os.path.join(home, "hostkey.pub")) as f:
        write(os.path.join(home, ".ssh", "known_hosts"), f"[127.0.0.1]:{port} {f.read()}")
    write(os.path.join(home, ".rhosts"), "localhost root\n", 0o600)

    servers = []
    try:
        sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", os.path.join(area, "sshd_config")],
                                stdin=subprocess.DEVNULL, stderr=open(f"{area}/sshd.log", "w"))
        servers.append(sshd)
        wait_listening(port, sshd, "sshd")
        hosts = [("scp_fresh", "scp", "fresh"), ("scp_shared", "scp", "shared")]
        if all(os.access(p, os.X_OK) for p in (INETD, RSHD, "/usr/bin/rcp")):
            write(os.path.join(area, "inetd.conf"),
                  f"127.0.0.1:shell stream tcp nowait root {RSHD} in.rshd\n")
            inetd = subprocess.Popen([INETD, "-i", "-R", "1000", os.path.join(area, "inetd.conf")],
                                     stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            servers.append(inetd)
            wait_listening(514, inetd, "inetd")
            hosts.insert(0, ("rcp", "rcp", "localhost"))
        request = os.path.join(area, "request-sample")
        reply = os.path.join(remote, "bench-reply")
        write(reply, "0\nreply\n")
        fetched = os.path.join(area, "scratch", "fetched-remote")
        commands = []
        for label, tool, host in hosts:
            opts = [] if tool == "rcp" else ["--"]
            commands.append((f"{label}_send",
                             [tool, *opts, request, f"{host}:{remote}/bench-send"]))
            commands.append((f"{label}_fetch", [tool, *opts, f"{host}:{reply}", fetched]))
        listing = os.path.join(area, "remote-commands")
        write(listing, "".join("\t".join([label, *argv]) + "\n" for label, argv in commands))
        samples = {label: [] for label, _ in commands}
        for line in run([prbench, "spawn", str(rounds), listing], 1800).splitlines():
            label, us, _, status = line.split("\t")
            if status != "0":
                raise BenchError(f"{label} exited {status}; see {area}/sshd.log")
            samples[label].append(float(us))
        run(["ssh", "-O", "exit", "shared"], 30)
    finally:
        for proc in reversed(servers):
            stop(proc)
    json.dump(dict(stats={k: summary(v) for k, v in samples.items()}, rounds=rounds,
                   commands={label: " ".join(argv).replace(area + "/", "")
                             for label, argv in commands},
                   ssh=subprocess.run(["ssh", "-V"], capture_output=True,
                                      text=True).stderr.strip()), sys.stdout)


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        sys.exit(f"remote.py: {e}")
