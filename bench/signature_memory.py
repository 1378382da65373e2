#!/usr/bin/env python3
"""What zykproxy's clamav scanner costs in memory per signature, and what a reload costs.

It writes generated signature databases of its own (random MD5 hashes in a .hdb file,
random 20-byte body patterns in a .ndb file), starts zykproxy on each with --db-check 0
and reads its resident memory once it listens; then it adds a file, sends SIGHUP and
reads the peak (VmHWM) the reload reached with two engines loaded, and the load time
from the log. Not part of the tests (a few minutes, a few hundred MiB).

usage: bench/signature_memory.py [--build build/native] [--hashes N] [--bodies N]
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for {pid}")


def write_hashes(path, count, rng):
    with open(path, "w") as f:
        for i in range(count):
            f.write(f"{rng.getrandbits(128):032x}:{rng.randrange(100, 1 << 24)}:Zyk.Gen.Hash{i}\n")


def write_bodies(path, count, rng):
    with open(path, "w") as f:
        for i in range(count):
            f.write(f"Zyk.Gen.Body{i}:0:*:{rng.getrandbits(160):040x}\n")


class Proxy:
    def __init__(self, build, db, log):
        self.log = log
        self.proc = subprocess.Popen(
            [os.path.join(build, "zykproxy"), "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:9",
             "--scanner", "clamav", "--clamav-db", db, "--db-check", "0"],
            stdout=subprocess.PIPE, stderr=open(log, "w"), text=True)
        started = time.monotonic()
        line = self.proc.stdout.readline()
        if not line.startswith("listening "):
            raise RuntimeError("zykproxy did not start: " + open(log).read())
        self.start_seconds = time.monotonic() - started

    def rss_mib(self):
        return status_kib(self.proc.pid, "VmRSS") / 1024

    def peak_mib(self):
        return status_kib(self.proc.pid, "VmHWM") / 1024

    def reload(self):
        """SIGHUP, then the seconds the log gives for the load."""
        self.proc.send_signal(signal.SIGHUP)
        for _ in range(6000):
            found = re.search(r"signatures reloaded: \d+ before, \d+ after, loaded in ([0-9.]+) s",
                              open(self.log).read())
            if found:
                return float(found.group(1))
            time.sleep(0.05)
        raise RuntimeError("no reload: " + open(self.log).read())

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)


def measure(build, work, name, hashes, bodies, shipped):
    db = os.path.join(work, name)
    os.makedirs(db)
    rng = random.Random(name)
    for f in os.listdir(shipped):
        with open(os.path.join(shipped, f)) as src, open(os.path.join(db, f), "w") as dst:
            dst.write(src.read())
    if hashes:
        write_hashes(os.path.join(db, "gen.hdb"), hashes, rng)
    if bodies:
        write_bodies(os.path.join(db, "gen.ndb"), bodies, rng)
    proxy = Proxy(build, db, os.path.join(work, name + ".log"))
    time.sleep(1)
    steady = proxy.rss_mib()
    write_hashes(os.path.join(db, "update.hdb"), 1, rng)  # a change for the reload to find
    load = proxy.reload()
    time.sleep(1)
    row = dict(name=name, hashes=hashes, bodies=bodies, start=proxy.start_seconds, rss=steady,
               peak=proxy.peak_mib(), after=proxy.rss_mib(), load=load)
    proxy.stop()
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--hashes", type=int, default=2000000)
    parser.add_argument("--bodies", type=int, default=200000)
    args = parser.parse_args()
    shipped = os.path.join(args.build, "zykproxy-signatures")
    with tempfile.TemporaryDirectory(prefix="zyk-sigmem-") as work:
        rows = [measure(args.build, work, "shipped", 0, 0, shipped),
                measure(args.build, work, "hashes", args.hashes, 0, shipped),
                measure(args.build, work, "bodies", 0, args.bodies, shipped),
                measure(args.build, work, "both", args.hashes, args.bodies, shipped)]
    base = rows[0]["rss"]
    print("| database | signatures | start s | RSS MiB | peak in reload MiB | RSS after MiB | reload s |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r['name']} | {r['hashes'] + r['bodies'] + 3} | {r['start']:.1f} | {r['rss']:.0f} |"
              f" {r['peak']:.0f} | {r['after']:.0f} | {r['load']:.1f} |")
    for r in rows[1:3]:
        count = r["hashes"] + r["bodies"]
        print(f"{r['name']}: {(r['rss'] - base) * MIB / count:.0f} bytes per signature")
    return 0


if __name__ == "__main__":
    sys.exit(main())
