#!/usr/bin/env python3
"""The benchmark runner of ./zyk bench: runs every benchmark on the native build and
writes docs/performance.md.

Each figure is taken in at least five rounds. Within a round the measurement and its
baseline run one after the other, so a ratio compares two runs of the same moment; the
table gives the median, the minimum and the maximum of the figures and the median of
the per-round ratios.
"""
import argparse
import datetime
import json
import os
import platform
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

GIB = 1 << 30
MIB = 1 << 20

# HAProxy as a plain TCP relay, tuned to move blocks of the plug-in's size, with as many
# threads as zykproxy has socket-watching loops.
HAPROXY_CONFIG = """global
    nbthread %(threads)d
    tune.bufsize 65536
    maxconn 8000
defaults
    mode tcp
    timeout connect 10s
    timeout client 1h
    timeout server 1h
listen relay
    bind 127.0.0.1:%(port)d
    server upstream 127.0.0.1:%(upstream)d
"""


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 16384 if hard == resource.RLIM_INFINITY else min(hard, 16384)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


class Process:
    """A child process whose standard input we hold: closing it ends netload servers."""

    def __init__(self, argv, env=None, stdout=subprocess.PIPE):
        self.argv = argv
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=stdout,
                                  stderr=subprocess.PIPE, env=env, text=True)

    def line(self, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            text = self.p.stdout.readline()
            if text:
                return text.strip()
            if self.p.poll() is not None:
                break
        raise RuntimeError("%s printed nothing: %s" % (self.argv[0], self.p.stderr.read()))

    @property
    def pid(self):
        return self.p.pid

    def stop(self):
        if self.p.poll() is None:
            try:
                self.p.stdin.close()
            except OSError:
                pass
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(10)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()


def proc_status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])  # kB
    raise RuntimeError("no %s for %d" % (field, pid))


def cpu_seconds(pid):
    """User and system time of a process and its reaped children."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    user = (int(fields[11]) + int(fields[13])) / tick
    system = (int(fields[12]) + int(fields[14])) / tick
    return user, system


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10):
    """Waits until a socket listens on the port, without connecting to it."""
    want = ":%04X" % port
    deadline = time.time() + timeout
    while time.time() < deadline:
        with open("/proc/net/tcp") as f:
            for line in f.readlines()[1:]:
                parts = line.split()
                if parts[1].endswith(want) and parts[3] == "0A":
                    return
        time.sleep(0.02)
    raise RuntimeError("nothing listens on %d" % port)


class Bench:
    def __init__(self, args):
        self.args = args
        self.root = args.root
        self.build = os.path.join(self.root, "build", "bench")
        self.notrace = os.path.join(self.root, "build", "bench-notrace")
        self.netload = os.path.join(self.build, "netload")
        self.zykproxy = os.path.join(self.build, "zykproxy")
        self.tmp = tempfile.mkdtemp(prefix="zyk-bench-")
        self.env = dict(os.environ, TMPDIR=self.tmp)
        for k in ("ZYKIM_DEBUG_OUTPUT", "ZYKIM_DEBUG_LEVEL"):
            self.env.pop(k, None)  # trace level 0, nobody listens
        self.rounds = args.rounds
        self.results = {}
        self.notes = []

    # --- processes -------------------------------------------------------------------
    def server(self, mode, nbytes=0):
        p = Process([self.netload, "serve", mode, "--bytes", str(nbytes)], env=self.env)
        port = int(p.line().split()[1])
        return p, port

    def proxy(self, kind, upstream):
        """kind: plugin, plugin-notrace, forward, haproxy or socat; returns (process, port)."""
        if kind == "haproxy":
            port = free_port()
            cfg = os.path.join(self.tmp, "haproxy-%d.cfg" % port)
            with open(cfg, "w") as f:
                f.write(HAPROXY_CONFIG % {"threads": self.args.threads, "port": port, "upstream": upstream})
            p = Process(["haproxy", "-db", "-f", cfg], env=self.env)
            wait_listening(port)
            return p, port
        if kind == "socat":
            port = free_port()
            p = Process(["socat", "-b65536", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
                         "TCP:127.0.0.1:%d" % upstream], env=self.env)
            wait_listening(port)
            return p, port
        argv = [self.zykproxy, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:%d" % upstream,
                "--max-connections", "2000", "--threads", str(self.args.threads)]
        if kind == "forward":
            argv.append("--no-plugin")
        else:
            lib = self.notrace if kind == "plugin-notrace" else self.build
            argv += ["--plugin", os.path.join(lib, "libzykim.so"), "--scanner", "none"]
        p = Process(argv, env=self.env)
        line = p.line()
        m = re.match(r"listening .*:(\d+)$", line)
        if not m:
            raise RuntimeError("zykproxy said: " + line)
        return p, int(m.group(1))

    def client(self, *argv):
        out = subprocess.run([self.netload] + [str(a) for a in argv], capture_output=True, text=True,
                             env=self.env, timeout=600)
        if out.returncode != 0:
            raise RuntimeError("netload %s failed: %s" % (argv[0], out.stderr))
        words = out.stdout.split()
        return {words[i]: float(words[i + 1]) for i in range(0, len(words) - 1, 2)}

    def sink_seconds(self, port, nbytes):
        return self.client("sink", "--port", port, "--bytes", nbytes)["seconds"]

    def say(self, text):
        print("bench: " + text, file=sys.stderr, flush=True)

    # --- 1 and 5: pass-through ------------------------------------------------------------
    def pass_through(self):
        size = self.args.stream_bytes
        self.say("pass-through: %d MiB x %d rounds through four hosts" % (size // MIB, self.rounds))
        src, up = self.server("source", size)
        kinds = ["plugin", "forward", "haproxy", "socat", "plugin-notrace"]
        hosts = {k: self.proxy(k, up) for k in kinds}
        rates = {k: [] for k in kinds}
        cpu = {k: [] for k in kinds}
        try:
            for k in kinds:  # warm-up, not counted
                self.sink_seconds(hosts[k][1], 64 * MIB)
            for r in range(self.rounds):
                order = kinds if r % 2 == 0 else list(reversed(kinds))
                for k in order:
                    p, port = hosts[k]
                    before = cpu_seconds(p.pid)
                    seconds = self.sink_seconds(port, size)
                    time.sleep(0.05)  # socat reaps its connection's process
                    after = cpu_seconds(p.pid)
                    rates[k].append(size / seconds / 1e9)
                    cpu[k].append(((after[0] - before[0]) * GIB / size, (after[1] - before[1]) * GIB / size))
        finally:
            for p, _ in hosts.values():
                p.stop()
            src.stop()
        self.results["throughput"] = rates
        self.results["throughput_cpu"] = cpu

        self.say("latency: %d round trips of 100 bytes x %d rounds" % (self.args.round_trips, self.rounds))
        echo, up = self.server("echo")
        kinds = ["plugin", "forward", "haproxy", "socat"]
        hosts = {k: self.proxy(k, up) for k in kinds}
        lat = {k: {"p50": [], "p99": [], "cpu": []} for k in kinds}
        try:
            for k in kinds:
                self.client("pingpong", "--port", hosts[k][1], "--count", 1000)
            for r in range(self.rounds):
                for k in (kinds if r % 2 == 0 else list(reversed(kinds))):
                    p, port = hosts[k]
                    before = cpu_seconds(p.pid)
                    v = self.client("pingpong", "--port", port, "--count", self.args.round_trips,
                                    "--size", 100)
                    time.sleep(0.05)  # socat reaps its connection's process
                    after = cpu_seconds(p.pid)
                    lat[k]["p50"].append(v["p50_us"])
                    lat[k]["p99"].append(v["p99_us"])
                    lat[k]["cpu"].append((sum(after) - sum(before)) / self.args.round_trips * 1e6)
        finally:
            for p, _ in hosts.values():
                p.stop()
            echo.stop()
        self.results["latency"] = lat

    # --- 2: scanned file transfer ---------------------------------------------------------
    def file_transfer(self):
        size = self.args.file_bytes
        self.say("file transfer: %d MiB x %d rounds" % (size // MIB, self.rounds))
        oft2, up_oft2 = self.server("oft2", size)
        src, up_src = self.server("source", size)
        plugin, port_plugin = self.proxy("plugin", up_oft2)
        forward, port_forward = self.proxy("forward", up_src)
        rows = {"plugin": [], "relay": [], "disk": [], "baseline": []}
        try:
            self.sink_seconds(port_plugin, 256 + size)
            for r in range(self.rounds):
                t_plugin = self.sink_seconds(port_plugin, 256 + size)
                t_relay = self.sink_seconds(port_forward, size)
                t_disk = self.client("disk", "--dir", self.tmp, "--bytes", size)["seconds"]
                rows["plugin"].append(size / t_plugin / 1e9)
                rows["relay"].append(size / t_relay / 1e9)
                rows["disk"].append(size / t_disk / 1e9)
                rows["baseline"].append(size / (t_relay + t_disk) / 1e9)
        finally:
            plugin.stop()
            forward.stop()
            oft2.stop()
            src.stop()
        left = [n for n in os.listdir(self.tmp) if n.startswith("icq_oscar_")]
        if left:
            self.notes.append("held files left behind in the temporary folder: %s" % ", ".join(left))
        self.results["file"] = rows

    # --- 3: memory ------------------------------------------------------------------------
    def memory(self):
        n = self.args.idle_connections
        self.say("memory: %d idle connections x %d rounds" % (n, self.rounds))
        per = {"plugin": [], "forward": []}
        for r in range(self.rounds):
            for k in (("plugin", "forward") if r % 2 == 0 else ("forward", "plugin")):
                echo, up = self.server("echo")
                p, port = self.proxy(k, up)
                try:
                    self.client("pingpong", "--port", port, "--count", 10)
                    time.sleep(0.2)
                    rss0 = proc_status(p.pid, "VmRSS")
                    hold = Process([self.netload, "hold", "--port", str(port), "--connections", str(n)],
                                   env=self.env)
                    if hold.line(120) != "ready":
                        raise RuntimeError("netload hold did not get ready")
                    time.sleep(0.2)
                    rss1 = proc_status(p.pid, "VmRSS")
                    hold.stop()
                    per[k].append((rss1 - rss0) / n)
                finally:
                    p.stop()
                    echo.stop()
        self.results["idle"] = per

        size = self.args.memory_file_bytes
        self.say("memory: peak during a %d MiB transfer x %d rounds" % (size // MIB, self.rounds))
        growth = {"plugin": [], "forward": []}
        for k in ("plugin", "forward"):
            srv, up = self.server("oft2" if k == "plugin" else "source", size)
            p, port = self.proxy(k, up)
            nbytes = size + (256 if k == "plugin" else 0)
            try:
                # One transfer first: what the first connection allocates is not growth.
                self.sink_seconds(port, nbytes)
                for r in range(self.rounds):
                    time.sleep(0.2)
                    rss0 = proc_status(p.pid, "VmRSS")
                    with open("/proc/%d/clear_refs" % p.pid, "w") as f:
                        f.write("5")  # the peak starts again from here
                    self.sink_seconds(port, nbytes)
                    growth[k].append(proc_status(p.pid, "VmHWM") - rss0)
            finally:
                p.stop()
                srv.stop()
        self.results["growth"] = growth

    # --- 7: many connections --------------------------------------------------------------
    def many_connections(self):
        n, m = self.args.many_connections, self.args.many_streaming
        size = self.args.many_stream_bytes
        self.say("many connections: %d open, %d streaming %d MiB each, x %d rounds"
                 % (n, m, size // MIB, self.rounds))
        kinds = ["plugin", "haproxy", "socat"]
        rates = {k: [] for k in kinds}
        rss = {"idle": [], "open": [], "peak": []}
        for r in range(self.rounds):
            for k in (kinds if r % 2 == 0 else list(reversed(kinds))):
                srv, up = self.server("request")
                p, port = self.proxy(k, up)
                streams = None
                try:
                    time.sleep(0.2)
                    idle = proc_status(p.pid, "VmRSS") if k == "plugin" else 0
                    streams = Process([self.netload, "streams", "--port", str(port), "--connections", str(n),
                                       "--streaming", str(m), "--bytes", str(size)], env=self.env)
                    if streams.line(300) != "open":
                        raise RuntimeError("netload streams did not open its connections")
                    if k == "plugin":
                        time.sleep(0.2)
                        opened = proc_status(p.pid, "VmRSS")
                        with open("/proc/%d/clear_refs" % p.pid, "w") as f:
                            f.write("5")  # the peak starts again from here
                    seconds = float(streams.line(600).split()[1])
                    rates[k].append(m * size / seconds / 1e9)
                    if k == "plugin":
                        rss["idle"].append(idle)
                        rss["open"].append(opened)
                        rss["peak"].append(proc_status(p.pid, "VmHWM"))
                finally:
                    if streams:
                        streams.stop()
                    p.stop()
                    srv.stop()
        self.results["many"] = {"rates": rates, "rss": rss, "n": n, "m": m, "size": size}

    # --- 8: what a slow scan or a stalled client costs the others ----------------------------
    def isolation(self):
        path = self.args.isolation_waits
        waits = {}
        try:
            with open(path) as f:
                report = json.load(f)
            for suite in report["testsuites"]:
                for test in suite["testsuite"]:
                    for key, value in test.items():
                        if key.endswith("_ms"):
                            waits[key] = float(value)
                    if test.get("failures"):
                        self.notes.append("isolation test %s failed" % test["name"])
        except (OSError, ValueError, KeyError, TypeError) as e:
            self.notes.append("no isolation figures: %s" % e)
        self.results["isolation"] = waits

    # --- 9: files checked in parallel ------------------------------------------------------
    def parallel_checks(self):
        """N transfers that complete at once, through zykproxy with --parallel-checks 1, its
        default and (for the command scanner) N: the time until the last file reached its
        client. The command scanner sleeps 1 s a file; clamd and c-icap scan 4 MiB files."""
        rounds = self.args.check_rounds
        sleeper = ["--scanner", "command", "--scan-command", "/bin/sh", "--scan-arg", "-c",
                   "--scan-arg", "sleep 1", "--scan-arg", "check"]
        rows = []  # (scanner, files, file bytes, {setting: [seconds per round]}, default count)
        for n in (1, 4, 16):
            settings = ["1", "default"] + (["%d" % n] if n > 2 else [])
            self.say("parallel checks: %d files checked in 1 s each, x %d rounds" % (n, rounds))
            times, default = self.timed_checks(sleeper, n, 64 * 1024, settings, rounds)
            rows.append(("command, 1 s a file", n, 64 * 1024, times, default))
        servers = []
        try:
            clamd = self.start_clamd()
            servers.append(clamd)
            self.say("parallel checks: 16 files of 4 MiB through clamd, x %d rounds" % rounds)
            times, default = self.timed_checks(["--scanner", "clamd", "--clamd-socket", clamd.socket],
                                               16, 4 * MIB, ["1", "default"], rounds)
            rows.append(("clamd", 16, 4 * MIB, times, default))
            icap = self.start_cicap(clamd.socket)
            servers.append(icap)
            self.say("parallel checks: 16 files of 4 MiB through c-icap, x %d rounds" % rounds)
            times, default = self.timed_checks(["--scanner", "icap", "--icap-url", icap.url],
                                               16, 4 * MIB, ["1", "default"], rounds)
            rows.append(("c-icap (virus_scan, the clamd above)", 16, 4 * MIB, times, default))
        except (OSError, RuntimeError) as e:
            self.notes.append("parallel checks through clamd and c-icap not measured: %s" % e)
        finally:
            for server in reversed(servers):
                server.stop()
        self.results["parallel"] = {"rows": rows, "rounds": rounds}

    def timed_checks(self, scanner, n, size, settings, rounds):
        """Seconds until the last of n transfers of `size` bytes ended, per setting of
        --parallel-checks and round (settings alternate in order), and the default's count."""
        oft2, up = self.server("oft2", size)
        times = {k: [] for k in settings}
        default = None
        try:
            for r in range(rounds):
                for k in (settings if r % 2 == 0 else list(reversed(settings))):
                    argv = [self.zykproxy, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:%d" % up,
                            "--plugin", os.path.join(self.build, "libzykim.so"), "--scan-timeout", "600"]
                    argv += scanner + ([] if k == "default" else ["--parallel-checks", k])
                    p = Process(argv, env=self.env)
                    try:
                        port = int(re.match(r"listening .*:(\d+)$", p.line(60)).group(1))
                        v = self.client("sink", "--port", port, "--bytes", 256 + size, "--connections", n)
                        times[k].append(v["seconds"])
                    finally:
                        p.stop()
                    if k == "default":
                        m = re.search(r"up to (\d+) files checked at once|(one) file checked at a time",
                                      p.p.stderr.read())
                        default = (m.group(1) or "1") if m else "?"
        finally:
            oft2.stop()
        return times, default

    def start_clamd(self):
        """A clamd of the benchmark's own (scratch configuration, the shipped test signature,
        its default MaxThreads); stop() ends it."""
        folder = tempfile.mkdtemp(prefix="clamd-", dir=self.tmp)
        db = os.path.join(folder, "db")
        shutil.copytree(os.path.join(self.build, "zykproxy-signatures"), db)
        conf = os.path.join(folder, "clamd.conf")
        sock = os.path.join(folder, "clamd.sock")
        with open(conf, "w") as f:
            f.write("LocalSocket %s\nDatabaseDirectory %s\nTemporaryDirectory %s\nForeground yes\n"
                    "LogFile %s\nStreamMaxLength 64M\n" % (sock, db, folder, os.path.join(folder, "clamd.log")))
        clamd = shutil.which("clamd") or "/usr/sbin/clamd"
        p = Process([clamd, "-c", conf], env=self.env, stdout=subprocess.DEVNULL)
        p.socket = sock
        deadline = time.time() + 60
        while time.time() < deadline:
            try:
                with socket.socket(socket.AF_UNIX) as s:
                    s.connect(sock)
                    s.sendall(b"zPING\0")
                    if s.recv(5) == b"PONG\0":
                        return p
            except OSError:
                pass
            time.sleep(0.1)
        p.stop()
        raise RuntimeError("clamd did not answer")

    def start_cicap(self, clamd_socket):
        """c-icap of the benchmark's own with its virus_scan service asking the clamd;
        its default processes and threads."""
        modules = next((os.path.join("/usr/lib", d, "c_icap") for d in sorted(os.listdir("/usr/lib"))
                        if os.path.exists(os.path.join("/usr/lib", d, "c_icap", "virus_scan.so"))), None)
        program = shutil.which("c-icap")
        if modules is None or program is None:
            raise RuntimeError("c-icap or its virus_scan module is missing")
        folder = tempfile.mkdtemp(prefix="c-icap-", dir=self.tmp)
        os.mkdir(os.path.join(folder, "tmp"))
        port = free_port()
        conf = os.path.join(folder, "c-icap.conf")
        with open(conf, "w") as f:
            f.write("Port 127.0.0.1:%d\nPidFile %s/c-icap.pid\nCommandsSocket %s/c-icap.ctl\nTmpDir %s/tmp\n"
                    "ServerLog %s/server.log\nAccessLog %s/access.log\nModulesDir %s\nServicesDir %s\n"
                    "TemplateDir /usr/share/c_icap/templates/\nLoadMagicFile /etc/c-icap/c-icap.magic\n"
                    "Module common clamd_mod.so\nclamd_mod.ClamdSocket %s\n"
                    "Service antivirus_module virus_scan.so\n"
                    "virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE\n"
                    "virus_scan.MaxObjectSize 64M\n"
                    % (port, folder, folder, folder, folder, folder, modules, modules, clamd_socket))
        p = Process([program, "-N", "-D", "-f", conf], env=self.env, stdout=subprocess.DEVNULL)
        p.url = "icap://127.0.0.1:%d/virus_scan?allow204=on&force=on&sizelimit=off&mode=simple" % port
        control = os.path.join(folder, "c-icap.ctl")
        stop = p.stop

        def stop_cicap():
            if os.path.exists(control):
                with open(control, "w") as c:
                    c.write("stop")
            try:
                p.p.wait(20)
            except subprocess.TimeoutExpired:
                pass
            stop()
        p.stop = stop_cicap
        wait_listening(port, 30)
        return p

    # --- 4: the magic search --------------------------------------------------------------
    def pattern_search(self):
        self.say("pattern search (native)")
        out = subprocess.run([os.path.join(self.build, "find_pattern_rate"), str(max(self.rounds, 7)), "0.2"],
                             capture_output=True, text=True, check=True).stdout
        self.results["search_native"] = parse_rates(out)
        if self.args.win32_rates and os.path.exists(self.args.win32_rates):
            with open(self.args.win32_rates) as f:
                self.results["search_win32"] = parse_rates(f.read())

    # --- in-process figures (both builds) -------------------------------------------------
    def in_process(self):
        self.say("in-process benchmarks (trace at level 0 and compiled out)")
        for name, folder in (("engine", self.build), ("engine_notrace", self.notrace)):
            out = subprocess.run([os.path.join(folder, "bench_oft2"), "--benchmark_format=json",
                                  "--benchmark_repetitions=%d" % self.rounds, "--benchmark_min_time=0.2",
                                  "--benchmark_filter=Trace|Direct|PassThrough|Classify|Body64MiB"],
                                 capture_output=True, text=True, env=self.env, check=True).stdout
            figures = {}
            for b in json.loads(out)["benchmarks"]:
                if b.get("run_type") != "iteration":
                    continue
                figures.setdefault(b["run_name"], []).append(b)
            self.results[name] = figures

    # --- 6: profile -----------------------------------------------------------------------
    def profile(self):
        if shutil.which("valgrind") is None:
            self.notes.append("valgrind is missing: no profile")
            return
        self.say("profile: callgrind on zykproxy (pass-through, then a file transfer)")
        profiles = {}
        for name, mode, size in (("pass-through", "source", 64 * MIB), ("file transfer", "oft2", 32 * MIB)):
            srv, up = self.server(mode, size)
            out = os.path.join(self.tmp, "callgrind.out")
            # Only what the data exports do counts, not start-up and loading.
            argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    "--toggle-collect=OnRequestFromServer", "--toggle-collect=OnRequestFromApplication",
                    self.zykproxy,
                    "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:%d" % up,
                    "--plugin", os.path.join(self.build, "libzykim.so"), "--scanner", "none"]
            p = Process(argv, env=self.env)
            try:
                port = int(re.match(r"listening .*:(\d+)$", p.line(120)).group(1))
                self.sink_seconds(port, size + (256 if mode == "oft2" else 0))
            finally:
                p.stop()
                srv.stop()
            ann = subprocess.run(["callgrind_annotate", "--threshold=99", out], capture_output=True,
                                 text=True).stdout
            profiles[name] = summarise_callgrind(ann)
            profiles[name]["blocks"] = size // 65536
            os.unlink(out)
        self.results["profile"] = profiles

    def run(self):
        raise_descriptor_limit()
        self.started = time.time()
        self.load_before = os.getloadavg()
        try:
            self.pattern_search()
            self.in_process()
            self.pass_through()
            self.file_transfer()
            self.memory()
            self.many_connections()
            self.parallel_checks()
            if self.args.isolation_waits:
                self.isolation()
            if not self.args.no_profile:
                self.profile()
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)
        self.load_after = os.getloadavg()
        self.finished = time.time()


def parse_rates(text):
    rates = {}
    for line in text.splitlines():
        w = line.split()
        if len(w) == 7 and w[1] == "median":
            rates[w[0]] = {"median": float(w[2]), "min": float(w[4]), "max": float(w[6])}
    return rates


def summarise_callgrind(text):
    """The total and the functions that cost most, by their own instructions."""
    total = None
    rows = []
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(100.0%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(\S+?):(.*?)(?:\s+\[(.*)\])?$", line)
        if m and total:
            obj = os.path.basename(m.group(5) or m.group(3))
            rows.append((float(m.group(2)), m.group(4).strip(), obj))
    return {"total": total, "rows": rows[:12]}


# --- the document ------------------------------------------------------------------------
# What bounds a figure whose goal was missed (what was measured while building this).
MISSED_NOTES = {
    "plug-in / plain forwarder":
        "The plug-in now makes the same system calls per block as the forwarder (strace: 3,078 "
        "against 3,070 for 64 MiB) and spends about 1,300 user-space instructions on a 64 KiB "
        "block (section 6), under 1% of a block's time; its system time per GiB matches the "
        "forwarder's. What is left is the scheduling of three busy processes on two shared cores.",
    "plug-in / socat":
        "socat moves the same blocks with one thread and one process per connection; see section 1.",
    "p99 plug-in / plain forwarder":
        "The 99th percentile of 10,000 round trips is set by a hundred of the slowest, which on "
        "this shared machine are the ones interrupted by other jobs.",
    "plug-in / relay + disk":
        "The plug-in holds the body until it is complete and only then releases it, so the relay "
        "and the file work cannot overlap, as they do not in the baseline either; the difference is "
        "the 32 KiB chunks of the release against the forwarder's 64 KiB blocks, and the progress "
        "callback with its lock per stored chunk (section 6).",
}

def med(xs):
    return statistics.median(xs)


def spread(xs):
    m = med(xs)
    return (max(xs) - min(xs)) / m * 100 if m else 0.0


def ratios(a, b):
    return [x / y for x, y in zip(a, b)]


def machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // 1024
    virt = ""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        m = re.search(r"Hypervisor vendor:\s*(\S+)", out)
        if m:
            virt = ", a virtual machine (%s)" % m.group(1)
    except OSError:
        pass
    return "%s, %d cores%s, %d MiB memory, Linux %s" % (model, os.cpu_count(), virt, mem, platform.release())


def write_document(b, path):
    R = b.results
    L = []
    add = L.append
    rounds = b.rounds
    date = datetime.datetime.utcfromtimestamp(b.finished).strftime("%Y-%m-%d %H:%M UTC")
    add("# Performance")
    add("")
    add("Written by `./zyk bench` (bench/run_bench.py) on %s, in %.0f s." % (date, b.finished - b.started))
    add("")
    add("Machine: %s. The machine may run other work beside the benchmark; the "
        "load average was %.2f when the run began and %.2f when it ended, so absolute figures "
        "move from run to run. Each figure below is taken in %d rounds; within a round the "
        "measurement and its baseline run back to back (in alternating order), and the ratio "
        "is the median of the per-round ratios. The spread column, (max - min) / median, shows "
        "how noisy each figure was." % (machine(), b.load_before[0], b.load_after[0], rounds))
    add("")
    add("Builds: preset `bench` (g++, -O3 Release) for the plug-in, zykproxy, netload and the "
        "benchmark programs; preset `bench-notrace` is the same with the trace calls compiled "
        "out (`ZYKIM_TRACE_COMPILED_OUT`). Trace level 0 and no debug-output listener "
        "throughout. GB/s means 10^9 bytes per second.")
    add("")

    summary = []
    missed = []

    def goal(name, figure, value, base, ratio, target, met, best="-"):
        if not met:
            missed.append((name, figure, ratio, target, best))
        summary.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, figure, value, base, ratio, best, target, "met" if met else "**missed**"))

    # 1. pass-through
    t = R["throughput"]
    r_fw = ratios(t["plugin"], t["forward"])
    r_so = ratios(t["plugin"], t["socat"])
    r_nt = ratios(t["plugin"], t["plugin-notrace"])
    lat = R["latency"]
    p99 = ratios(lat["plugin"]["p99"], lat["forward"]["p99"])
    goal("1. pass-through", "plug-in / plain forwarder", "%.2f GB/s" % med(t["plugin"]),
         "%.2f GB/s" % med(t["forward"]), "%.3f" % med(r_fw), ">= 0.95", med(r_fw) >= 0.95,
         "%.3f" % (max(t["plugin"]) / max(t["forward"])))
    goal("1. pass-through", "plug-in / socat", "%.2f GB/s" % med(t["plugin"]), "%.2f GB/s" % med(t["socat"]),
         "%.3f" % med(r_so), ">= 1.00", med(r_so) >= 1.0, "%.3f" % (max(t["plugin"]) / max(t["socat"])))
    goal("1. latency", "p99 plug-in / plain forwarder", "%.1f us" % med(lat["plugin"]["p99"]),
         "%.1f us" % med(lat["forward"]["p99"]), "%.3f" % med(p99), "<= 1.10", med(p99) <= 1.10,
         "%.3f" % (min(lat["plugin"]["p99"]) / min(lat["forward"]["p99"])))
    r_ha = ratios(t["plugin"], t["haproxy"])
    goal("1. pass-through", "plug-in / HAProxy", "%.2f GB/s" % med(t["plugin"]), "%.2f GB/s" % med(t["haproxy"]),
         "%.3f" % med(r_ha), ">= 1.00", med(r_ha) >= 1.0, "%.3f" % (max(t["plugin"]) / max(t["haproxy"])))
    for q in ("p50", "p99"):
        r_q = ratios(lat["plugin"][q], lat["haproxy"][q])
        goal("1. latency", "%s plug-in / HAProxy" % q, "%.1f us" % med(lat["plugin"][q]),
             "%.1f us" % med(lat["haproxy"][q]), "%.3f" % med(r_q), "<= 1.00", med(r_q) <= 1.0,
             "%.3f" % (min(lat["plugin"][q]) / min(lat["haproxy"][q])))
    r_cpu = ratios(lat["plugin"]["cpu"], lat["haproxy"]["cpu"])
    goal("1. latency", "CPU per round trip, plug-in / HAProxy", "%.1f us" % med(lat["plugin"]["cpu"]),
         "%.1f us" % med(lat["haproxy"]["cpu"]), "%.3f" % med(r_cpu), "<= 1.00", med(r_cpu) <= 1.0,
         "%.3f" % (min(lat["plugin"]["cpu"]) / min(lat["haproxy"]["cpu"])))
    f = R["file"]
    r_file = ratios(f["plugin"], f["baseline"])
    goal("2. file transfer", "plug-in / relay + disk", "%.2f GB/s" % med(f["plugin"]),
         "%.2f GB/s" % med(f["baseline"]), "%.3f" % med(r_file), ">= 0.85", med(r_file) >= 0.85,
         "%.3f" % (max(f["plugin"]) / max(f["baseline"])))
    idle = R["idle"]
    extra = [a - c for a, c in zip(idle["plugin"], idle["forward"])]
    goal("3. memory", "extra per idle connection", "%.1f KiB" % med(idle["plugin"]),
         "%.1f KiB" % med(idle["forward"]), "+%.1f KiB" % med(extra), "<= +16 KiB", med(extra) <= 16)
    g = R["growth"]
    goal("3. memory", "peak growth, %d MiB transfer" % (b.args.memory_file_bytes // MIB),
         "%d KiB" % med(g["plugin"]), "%d KiB" % med(g["forward"]), "-", "< 1024 KiB",
         med(g["plugin"]) < 1024)
    s = R["search_native"]
    fp, mm = s["FindPattern"], s.get("memmem")
    goal("4. magic search", "FindPattern, native", "%.2f GB/s" % fp["median"],
         "memmem %.2f GB/s" % mm["median"], "%.2f" % (fp["median"] / mm["median"]),
         ">= 2 GB/s, ratio >= 0.5", fp["median"] >= 2 and fp["median"] / mm["median"] >= 0.5)
    w = R.get("search_win32")
    if w:
        wf = w["FindPattern"]
        goal("4. magic search", "FindPattern, Win32 under Wine", "%.2f GB/s" % wf["median"],
             "native memmem %.2f GB/s" % mm["median"], "%.2f" % (wf["median"] / mm["median"]),
             "ratio >= 0.5", wf["median"] / mm["median"] >= 0.5)
    # The trace calls of one pass-through block, in process: their cost against the time
    # the block takes through the proxy.
    eng, engnt = R["engine"], R["engine_notrace"]
    block_ns = 65536 / (med(t["plugin"]) * 1e9) * 1e9
    trace_ns = (med([x["real_time"] for x in eng["BM_PassThrough"]]) -
                med([x["real_time"] for x in engnt["BM_PassThrough"]]))
    goal("5. trace cost", "plug-in at level 0 / trace compiled out", "%.2f GB/s" % med(t["plugin"]),
         "%.2f GB/s" % med(t["plugin-notrace"]), "%.3f" % med(r_nt),
         "trace calls < 0.1%% of a block's time (in process: %.1f of %.0f ns)" % (trace_ns, block_ns),
         trace_ns / block_ns < 0.001,
         "%.3f" % (max(t["plugin"]) / max(t["plugin-notrace"])))

    w_iso = R.get("isolation") or {}
    for key, what in (("scan_new_connection", "a new connection under a 4 s scan"),
                      ("scan_round_trip", "a round trip under a 4 s scan"),
                      ("stall_new_connection", "a new connection beside a stalled client"),
                      ("stall_round_trip", "a round trip beside a stalled client")):
        if key + "_median_ms" in w_iso:
            v = w_iso[key + "_median_ms"]
            goal("8. isolation", what, "%.2f ms" % v, "-", "-", "< 1 ms median", v < 1.0)

    add("## Summary")
    add("")
    add("A goal counts as met on the median of the per-round ratios. The ratio of the best runs "
        "(fastest against fastest, for latency lowest against lowest) is given beside it: the "
        "least disturbed runs, and so the closest to what the code itself costs.")
    add("")
    add("| Benchmark | Figure | Measured (median) | Baseline (median) | Ratio (median of rounds) "
        "| Ratio of the best runs | Goal | |")
    add("|---|---|---|---|---|---|---|---|")
    L.extend(summary)
    add("")
    if missed:
        add("Goals missed in this run, by how much, and what bounds them:")
        add("")
        for name, figure, ratio, target, best in missed:
            add("- %s, %s: %s against the goal %s (best runs: %s). %s" % (
                name, figure, ratio, target, best, MISSED_NOTES.get(figure, "")))
        add("- For scale: the plug-in and the same plug-in built without trace calls run the same "
            "code on the data path, yet their per-round ratio in this run went from %.3f to %.3f "
            "(median %.3f); a shortfall smaller than that is within the noise of this machine." % (
                min(r_nt), max(r_nt), med(r_nt)))
        add("")

    def table(rows, unit):
        """Rows of (name, figures); a name starting with "ratio" has no unit."""
        add("| Figure | Median | Min | Max | Spread |")
        add("|---|---|---|---|---|")
        for name, xs in rows:
            u = "" if name.startswith("ratio") else " " + unit
            add("| %s | %.3f%s | %.3f | %.3f | %.0f%% |" % (name, med(xs), u, min(xs), max(xs), spread(xs)))
        add("")

    add("## 1. Pass-through throughput and latency")
    add("")
    add("%d MiB of traffic without a file transfer, server to client, per round and host. "
        "netload is the server and the client; the hosts are zykproxy with the plug-in "
        "(`--scanner none`), the same zykproxy with the plug-in replaced by its plain "
        "forwarder (`--no-plugin`: reads of at most 65,536 bytes that do not wait, each block "
        "sent on before the next is read, as the plug-in's data pump does), HAProxy (Debian's, "
        "`mode tcp`, `tune.bufsize 65536`, `nbthread %d`, as many threads as zykproxy's %d "
        "socket-watching loop(s)), socat (`-b65536`, so it moves blocks of the same size), and "
        "zykproxy with the plug-in built without trace calls." %
        (b.args.stream_bytes // MIB, b.args.threads, b.args.threads))
    add("")
    table([("plug-in", t["plugin"]), ("plain forwarder", t["forward"]), ("HAProxy", t["haproxy"]),
           ("socat", t["socat"]), ("plug-in, trace compiled out", t["plugin-notrace"]),
           ("ratio plug-in / forwarder", r_fw), ("ratio plug-in / HAProxy", r_ha),
           ("ratio plug-in / socat", r_so)], "GB/s")
    cpu = R["throughput_cpu"]
    add("CPU time of the host process per GiB moved (user + system, median over the rounds; "
        "socat's includes its per-connection child):")
    add("")
    add("| Host | User s/GiB | System s/GiB |")
    add("|---|---|---|")
    for k, label in (("plugin", "plug-in"), ("forward", "plain forwarder"), ("haproxy", "HAProxy"),
                     ("socat", "socat"), ("plugin-notrace", "plug-in, trace compiled out")):
        add("| %s | %.3f | %.3f |" % (label, med([c[0] for c in cpu[k]]), med([c[1] for c in cpu[k]])))
    add("")
    add("Latency: %d round trips of a 100-byte message through each host to an echo server "
        "(TCP_NODELAY at both ends), per round; the p50 and p99 of each round, in microseconds:" %
        b.args.round_trips)
    add("")
    table([("p50 plug-in", lat["plugin"]["p50"]), ("p50 plain forwarder", lat["forward"]["p50"]),
           ("p50 HAProxy", lat["haproxy"]["p50"]), ("p50 socat", lat["socat"]["p50"]),
           ("p99 plug-in", lat["plugin"]["p99"]), ("p99 plain forwarder", lat["forward"]["p99"]),
           ("p99 HAProxy", lat["haproxy"]["p99"]), ("p99 socat", lat["socat"]["p99"]),
           ("ratio p99 plug-in / forwarder", p99)], "us")
    add("CPU time of the host process (user + system, children included) per round trip, in "
        "microseconds: the cost of two small messages, one each way:")
    add("")
    table([("plug-in", lat["plugin"]["cpu"]), ("plain forwarder", lat["forward"]["cpu"]),
           ("HAProxy", lat["haproxy"]["cpu"]), ("socat", lat["socat"]["cpu"]),
           ("ratio plug-in / HAProxy", r_cpu)], "us")

    add("## 2. Scanned file transfer")
    add("")
    add("One OFT2 transfer of a %d MiB body through zykproxy with the plug-in and the `none` "
        "scanner: the header passes, the body is held in a file in the temporary folder, checked "
        "and read back to the client in 32 KiB chunks. The time runs from the client's connect to "
        "the last body byte. The baseline is the same work without the plug-in: %d MiB relayed "
        "through the plain forwarder, plus writing %d MiB in 64 KiB blocks to a file in the same "
        "temporary folder and reading it back in 32 KiB blocks (netload disk); its rate is the "
        "size over the sum of the two times." % ((b.args.file_bytes // MIB,) * 3))
    add("")
    table([("plug-in, held and released", f["plugin"]), ("relay alone", f["relay"]),
           ("file written and read back", f["disk"]), ("baseline (relay + file)", f["baseline"]),
           ("ratio plug-in / baseline", r_file)], "GB/s")

    add("## 3. Memory")
    add("")
    add("Resident memory (VmRSS) of zykproxy before and after %d connections were opened "
        "through it, each with one 100-byte round trip and then left idle; per connection:" %
        b.args.idle_connections)
    add("")
    table([("plug-in", idle["plugin"]), ("plain forwarder", idle["forward"]),
           ("plug-in minus forwarder", extra)], "KiB")
    add("Peak resident memory (VmHWM, reset before the transfer) minus the resident memory before "
        "one %d MiB transfer: an OFT2 transfer through the plug-in, plain bytes through the "
        "forwarder:" % (b.args.memory_file_bytes // MIB))
    add("")
    table([("plug-in", g["plugin"]), ("plain forwarder", g["forward"])], "KiB")

    many_section(b, add, table)
    isolation_section(b, add)
    parallel_section(b, add)

    add("## 4. The magic search")
    add("")
    add("`FindPattern` for \"oft2\" with the default folding table over a 64 KiB block of random "
        "bytes without a match, against glibc `memmem` for the same four bytes (case-sensitive) on "
        "the same block, in the same program (bench/find_pattern_rate.cpp, runs interleaved). "
        "`SearchPattern_one_scan` is the search as a single Horspool scan (a caller's own skip "
        "table is followed step by step): what `FindPattern` was before. `std_horspool_exact` is "
        "the standard library's Horspool searcher, case-sensitive.")
    add("")
    add("| Build | Search | Median GB/s | Min | Max |")
    add("|---|---|---|---|---|")
    for build, rates in (("native x86-64", s), ("Win32 i686 under Wine", w or {})):
        for name, v in rates.items():
            add("| %s | %s | %.2f | %.2f | %.2f |" % (build, name, v["median"], v["min"], v["max"]))
    if not w:
        add("| Win32 i686 under Wine | (not measured in this run) | | | |")
    add("")

    add("## 5. Trace cost")
    add("")
    add("The pass-through of benchmark 1 with the plug-in at trace level 0 against the same "
        "plug-in built with its trace calls compiled out: ratio %.3f (rounds from %.3f to %.3f), "
        "inside the noise of the runs. In process (bench_oft2, Google Benchmark, %d repetitions), "
        "in nanoseconds per call or per 64 KiB block:" % (med(r_nt), min(r_nt), max(r_nt), rounds))
    add("")
    add("| Benchmark | Trace level 0 | Trace compiled out |")
    add("|---|---|---|")
    for name in sorted(eng):
        a = med([x["real_time"] for x in eng[name]])
        c = med([x["real_time"] for x in engnt.get(name, eng[name])])
        unit = eng[name][0]["time_unit"]
        add("| %s | %.1f %s | %.1f %s |" % (name, a, unit, c, unit))
    add("")
    dl = med([x["real_time"] for x in eng["BM_BlockDirectLinesNobodyListens"]])
    dlr = med([x["real_time"] for x in eng["BM_BlockDirectLinesToAnObserver"]])
    add("The two direct lines of the data pump for each block cost %.1f ns when nobody listens: "
        "they are not formatted when no sink and no observer would read them. Formatted for a "
        "reader that drops them (an in-process observer; on Windows they are always formatted, "
        "since only the system knows whether a debugger listens) they cost %.0f ns, against %.0f ns "
        "for moving a 64 KiB block at the measured pass-through rate: %.2f%% of the time." %
        (dl, dlr, block_ns, dlr / block_ns * 100))
    add("")

    add("## 6. Where the time goes")
    add("")
    add("Measured with the CPU times of benchmark 1 and with callgrind, which counts user-space "
        "instructions only (the kernel's copies and system calls are not in it), collected inside "
        "the two data exports of the plug-in in zykproxy. Top functions by their own instructions:")
    add("")
    for name, prof in R.get("profile", {}).items():
        add("%s, %d MiB (%s instructions inside the data exports, %s per 64 KiB block):" % (
            name.capitalize(), prof["blocks"] // 16, "{:,}".format(prof["total"] or 0),
            "{:,}".format((prof["total"] or 0) // max(1, prof["blocks"]))))
        add("")
        add("| Share | Function | Object |")
        add("|---|---|---|")
        for share, fn, obj in prof["rows"]:
            add("| %.1f%% | `%s` | %s |" % (share, fn.replace("|", "\\|")[:110], obj))
        add("")
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "profile_notes.md")) as fnotes:
        L.extend(fnotes.read().rstrip("\n").splitlines())
    add("")
    if b.notes:
        add("## Notes from this run")
        add("")
        for n in b.notes:
            add("- " + n)
        add("")
    with open(path, "w") as out:
        out.write("\n".join(L) + "\n")


def many_section(b, add, table):
    many = b.results["many"]
    rates, rss = many["rates"], many["rss"]
    n, m = many["n"], many["m"]
    add("## 7. Many connections")
    add("")
    add("%d connections opened through the host (each with one 100-byte request and answer), then "
        "%d of them, spread over the set, each take %d MiB from the server at the same time while "
        "the others stay open (netload streams against netload serve request). The rate is all the "
        "streams' bytes over the time until the last one ended. zykproxy runs the plug-in with the "
        "`none` scanner on its default command line (one socket-watching loop, whose thread "
        "makes the calls and hands the loop on when one would wait); HAProxy as in section 1; "
        "socat forks a process per connection (`-b65536`). Rounds alternate the hosts' order." % (n, m, many["size"] // MIB))
    add("")
    table([("zykproxy with the plug-in", rates["plugin"]), ("HAProxy", rates["haproxy"]),
           ("socat", rates["socat"]),
           ("ratio zykproxy / HAProxy", ratios(rates["plugin"], rates["haproxy"])),
           ("ratio zykproxy / socat", ratios(rates["plugin"], rates["socat"]))], "GB/s")
    per_open = [(o - i) / n for o, i in zip(rss["open"], rss["idle"])]
    add("Resident memory of zykproxy: before the connections (VmRSS), with the %d open and idle "
        "(VmRSS), and the peak while the %d streams ran (VmHWM, reset once the connections were "
        "open), in KiB:" % (n, m))
    add("")
    table([("before", rss["idle"]), ("%d open" % n, rss["open"]), ("peak while streaming", rss["peak"]),
           ("per open connection", per_open),
           ("peak per streaming connection", [(p - o) / m for p, o in zip(rss["peak"], rss["open"])])],
          "KiB")


def isolation_section(b, add):
    w = b.results.get("isolation")
    if w is None:
        return
    add("## 8. What a slow scan or a stalled client costs the others")
    add("")
    add("Measured by the end-to-end tests `NoWaiting.*` and `SendTimeout.*` (tests/e2e/"
        "test_e2e_isolation.cpp), natively, with zykproxy on its default command line and the "
        "command scanner: while one connection's file is scanned for 4 s, 20 new connections "
        "(connect to first byte of their server) and one round trip on each of 5 open ones; while "
        "one client does not read a 20 MiB stream, 5 rounds of 4 new connections and a round trip "
        "on each of 3 open ones; and with `--send-timeout 2`, the time from the stalled client's "
        "connect until its server saw the connection close. The tests fail above 200 ms, or 3 s "
        "for the close. In milliseconds:")
    add("")
    add("| Situation | Wait | Median | Max |")
    add("|---|---|---|---|")
    for key, situation, what in (("scan_new_connection", "a 4 s scan", "new connection"),
                                 ("scan_round_trip", "a 4 s scan", "round trip"),
                                 ("stall_new_connection", "a client that does not read", "new connection"),
                                 ("stall_round_trip", "a client that does not read", "round trip")):
        if key + "_max_ms" in w:
            add("| %s | %s | %.2f | %.2f |" % (situation, what, w[key + "_median_ms"], w[key + "_max_ms"]))
    if "stalled_closed_after_ms" in w:
        add("| `--send-timeout 2`, a client that does not read | until its server sees the close | "
            "%.0f | |" % w["stalled_closed_after_ms"])
    add("")


def parallel_section(b, add):
    p = b.results.get("parallel")
    if not p or not p["rows"]:
        return
    add("## 9. Files checked in parallel")
    add("")
    add("N transfers through zykproxy with the plug-in that complete at the same moment: netload "
        "sink opens N connections at once, each through zykproxy to netload serve oft2, which sends "
        "one file of the given size on each; the time runs from the connects until the last file "
        "has reached its client (median of %d rounds; the settings alternate within a round). "
        "`--parallel-checks 1` checks one file at a time, as a host that never calls "
        "`SetParallelChecks`; the default is as many as the scanner serves at once (this "
        "machine's %d cores for the command scanner, clamd's threads, the ICAP service's "
        "Max-Connections or 32 when it names none). The command scanner is `/bin/sh -c 'sleep 1'`: "
        "a check that takes 1 s. clamd (its default 10 threads) and c-icap (its default processes "
        "and threads, virus_scan asking that clamd) are of the benchmark's own, with the shipped "
        "test signature; their files are random bytes." % (p["rounds"], os.cpu_count()))
    add("")
    add("| Scanner | Files | Size | `--parallel-checks 1` | Default (count) | `--parallel-checks N` |")
    add("|---|---|---|---|---|---|")
    for scanner, n, size, times, default in p["rows"]:
        size_text = "%d MiB" % (size // MIB) if size >= MIB else "%d KiB" % (size // 1024)
        own = "%.2f s" % med(times[str(n)]) if str(n) in times else "-"
        add("| %s | %d | %s | %.2f s | %.2f s (%s) | %s |" % (
            scanner, n, size_text, med(times["1"]), med(times["default"]), default, own))
    add("")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--out", default=None)
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--stream-bytes", type=int, default=GIB)
    ap.add_argument("--file-bytes", type=int, default=256 * MIB)
    ap.add_argument("--memory-file-bytes", type=int, default=GIB)
    ap.add_argument("--idle-connections", type=int, default=1000)
    ap.add_argument("--round-trips", type=int, default=10000)
    ap.add_argument("--threads", type=int, default=1,
                    help="zykproxy's socket-watching loops, and HAProxy's nbthread")
    ap.add_argument("--many-connections", type=int, default=1000)
    ap.add_argument("--many-streaming", type=int, default=100)
    ap.add_argument("--many-stream-bytes", type=int, default=32 * MIB)
    ap.add_argument("--isolation-waits", default=None, help="the isolation tests' JSON report")
    ap.add_argument("--win32-rates", default=None, help="output of find_pattern_rate.exe under Wine")
    ap.add_argument("--check-rounds", type=int, default=3,
                    help="rounds of the parallel checks (their scans take fixed times)")
    ap.add_argument("--no-profile", action="store_true")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    b = Bench(args)
    b.run()
    out = args.out or os.path.join(args.root, "docs", "performance.md")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    write_document(b, out)
    print("bench: wrote " + out, file=sys.stderr)


if __name__ == "__main__":
    main()
