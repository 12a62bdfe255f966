"""Timing helpers shared by the benchmarks: whole processes timed one run at
a time, medians with their spread, the load that other processes put on
the machine while we measure, and a description of the machine and of the
compiler and flags a program was built with."""
import os
import platform
import re
import statistics
import subprocess
import threading
import time

HZ = os.sysconf("SC_CLK_TCK")


class Stopped(Exception):
    """A run took longer than its time limit and was killed."""


def run_once(cmd, stdin_path=None, stdout_path=None, limit=None):
    """One run of `cmd` as a whole process: (wall seconds, CPU seconds of the
    process, exit status). Waits in wait4, so that the time is not rounded up
    to a polling interval; raises Stopped after `limit` seconds."""
    with open(stdin_path or os.devnull, "rb") as fin, \
            open(stdout_path or os.devnull, "wb") as fout:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdin=fin, stdout=fout,
                                stderr=subprocess.DEVNULL)
        timer = threading.Timer(limit, proc.kill) if limit else None
        if timer:
            timer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if timer:
            stopped = not timer.is_alive()
            timer.cancel()
            if stopped:
                raise Stopped()
    return wall, usage.ru_utime + usage.ru_stime, proc.returncode


def busy_seconds():
    """CPU seconds spent busy by all processors since boot (/proc/stat)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + nice + system + irq + softirq + steal) / HZ


class LoadMeter:
    """Average number of processors kept busy by other processes between
    start() and stop(): all busy time minus the CPU time of our own runs
    (and of this process), divided by the wall time."""

    def start(self):
        self.busy0 = busy_seconds()
        self.own0 = own_cpu_seconds()
        self.wall0 = time.perf_counter()

    def stop(self):
        wall = time.perf_counter() - self.wall0
        other = (busy_seconds() - self.busy0) - (own_cpu_seconds() - self.own0)
        return max(other, 0.0) / wall if wall > 0 else 0.0


def own_cpu_seconds():
    """CPU seconds of this process and of its children that have ended."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def summary(times):
    """Median, minimum and maximum of a list of seconds."""
    return statistics.median(times), min(times), max(times)


def fmt_spread(times):
    med, lo, hi = summary(times)
    return f"{med:.3f} s ({lo:.3f}-{hi:.3f})"


def machine():
    """One line: processor, count, kernel."""
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} processors, Linux {platform.release()}"


def linkage(binary):
    """"linked statically" when the program needs no shared library, else
    "linked dynamically"."""
    try:
        out = subprocess.run(["readelf", "--dynamic", binary],
                             capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return "linkage unknown"
    return "linked dynamically" if "(NEEDED)" in out else "linked statically"


def compiler(binary):
    """The compiler and flags recorded in the program's debugging data (the
    producer of its first compilation unit of our own), or from its
    .comment section without flags."""
    try:
        out = subprocess.run(["readelf", "--debug-dump=info", binary],
                             capture_output=True, text=True, timeout=60).stdout
        for m in re.finditer(r"DW_AT_producer\s*:\s*(?:\(indirect string[^)]*\):\s*)?(.*)", out):
            producer = m.group(1).strip()
            if "-O" in producer:
                # Leave out the file-specific and warning flags.
                kept = [w for w in producer.split()
                        if not w.startswith(("-I", "-W", "-D", "-f", "-MD", "-MT", "-MF"))
                        or w.startswith(("-fPIE", "-fPIC", "-fno-omit", "-flto"))]
                return " ".join(kept)
    except (OSError, subprocess.TimeoutExpired):
        pass
    try:
        out = subprocess.run(["readelf", "-p", ".comment", binary],
                             capture_output=True, text=True, timeout=10).stdout
        lines = [l.split("]", 1)[1].strip() for l in out.splitlines() if "]" in l]
        if lines:
            return lines[0] + " (flags unknown)"
    except (OSError, subprocess.TimeoutExpired):
        pass
    return "unknown"
