"""What every benchmark script shares: the machine a figure was taken on, the one folder the
JSON goes to (bench/out), medians with their spread, and the goal lines.

A script run from bench/ finds it as `import benchkit`. The CAN scripts import it first and
only then take bench/ off sys.path (bench/can.py would shadow python-can's `can`).
"""

import json
import os
import platform
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")


def free_threaded():
    return not getattr(sys, "_is_gil_enabled", lambda: True)()


def loadavg():
    """The 1, 5 and 15 minute load averages of this machine (inside a guest: the guest's)."""
    return list(os.getloadavg())


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


class Session:
    """One benchmark run: takes the load average when made, again at finish(), and describes
    the machine, the interpreter and both loads in one line and in the JSON."""

    def __init__(self):
        self.load_before = loadavg()
        self.load_after = None
        # A guest (User-Mode Linux) cannot see its host's load: make bench passes it in.
        self.host_load_before = os.environ.get("BENCH_HOST_LOADAVG")

    def finish(self):
        self.load_after = loadavg()

    def environment(self):
        """The machine and interpreter a figure's title names."""
        after = self.load_after or loadavg()
        return {"cpu_model": cpu_model(), "cpus": os.cpu_count(), "kernel": platform.release(),
                "python": sys.version, "implementation": platform.python_implementation(),
                "free_threaded": free_threaded(),
                "loadavg": " ".join(f"{x:.1f}" for x in self.load_before),
                "load_before": self.load_before, "load_after": after,
                "host_loadavg": self.host_load_before}

    def machine_line(self):
        """Interpreter, CPUs, kernel and load, in one line."""
        after = self.load_after or loadavg()
        text = (f"{platform.python_implementation()} {platform.python_version()}"
                f"{' free-threaded' if free_threaded() else ''}, {os.cpu_count()} CPUs ({cpu_model()}), "
                f"Linux {platform.release()}, load average {self.load_before[0]:.1f} before, {after[0]:.1f} after")
        if self.host_load_before:
            text += f" (host: {self.host_load_before.split()[0]} before)"
        return text

    def write_json(self, name, data):
        """Writes bench/out/NAME with the environment added; returns its path."""
        os.makedirs(OUT, exist_ok=True)
        path = os.path.join(OUT, name)
        with open(path, "w") as f:
            json.dump({"environment": self.environment(), **data}, f, indent=1)
        return path


def interpreter_tag():
    """'314' or '313t': tells apart the JSON of the two interpreters."""
    return f"{sys.version_info.major}{sys.version_info.minor}{'t' if free_threaded() else ''}"


def percentile(sorted_values, q):
    """The value at fraction q of a sorted list (nearest rank); NaN for an empty one."""
    if not sorted_values:
        return float("nan")
    i = min(len(sorted_values) - 1, max(0, round(q * (len(sorted_values) - 1))))
    return sorted_values[i]


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def spread(values, digits=1):
    """The lowest and highest of the runs' values, as text ('-' when there are none)."""
    values = [v for v in values if v is not None]
    if not values:
        return "-"
    return f"{min(values):.{digits}f}-{max(values):.{digits}f}"


def goal_line(met, goal, measured):
    """One line of a goals list: met or MISS, the goal, what the medians gave."""
    return f"  {'met ' if met else 'MISS'}  {goal:<70} {measured}"


def print_goals(rows, title="Goals (on the medians of the runs)"):
    """Prints (goal, measured, met) rows; returns them as JSON-ready dicts."""
    print(f"\n{title}")
    for goal, measured, met in rows:
        print(goal_line(met, goal, measured))
    return [{"goal": g, "measured": m, "met": bool(ok)} for g, m, ok in rows]
