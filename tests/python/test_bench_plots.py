"""The benchmark figures: the lateness distribution kept in timers.json, and bench/plots.py
drawing every figure from JSON shaped as the benchmarks write it (it never runs a benchmark)."""

import importlib.util
import json
import pathlib
import random
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def load(name):
    # The scripts import their shared bench/benchkit.py; the folder stays on the path only while
    # one loads (bench/can.py would shadow python-can).
    spec = importlib.util.spec_from_file_location(f"bench_{name}", ROOT / "bench" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(ROOT / "bench"))
    return module


timers = load("timers")


@pytest.mark.parametrize("n", [1, 2, 7, 1000, 123_457])
def test_cdf_of_is_a_distribution_ending_at_the_maximum(n):
    rng = random.Random(n)
    late = [rng.randrange(0, 1_000_000) for _ in range(n)]
    points = timers.cdf_of(late)
    fractions = [q for q, _ in points]
    values = [v for _, v in points]
    assert fractions == sorted(fractions) and len(set(fractions)) == len(fractions)
    assert values == sorted(values)
    assert 0 < fractions[0] and fractions[-1] == 1.0
    assert values[-1] == max(late) / 1000.0 and values[0] >= min(late) / 1000.0
    # the tail is kept down to single calls: the last point but one is at most one call short
    # of the maximum when there are many calls
    if n >= 1000:
        assert fractions[-2] >= 1 - 10 / n


def test_cdf_of_nothing_is_empty():
    assert timers.cdf_of([]) == []


def timers_json(tmp_path):
    rng = random.Random(1)
    results = {}
    for name, hz in [("high 1 kHz C floor", 1000.0), ("high 1 kHz", 1000.0), ("py time.sleep 1 kHz", 1000.0),
                     ("realtime 50 kHz C floor", 50000.0), ("realtime 50 kHz", 50000.0)]:
        period = round(1e9 / hz)
        stamps = sorted(rng.randrange(0, 200 * period) for _ in range(200))
        stats, late = timers.summarize(stamps, hz)
        stats["cpu_percent"] = 42.0
        results[name] = {"frequency_hz": hz, "duration": 0.2, "runs": [stats], "cdf_us": timers.cdf_of(late)}
    results["empty 1 kHz"] = {"frequency_hz": 1000.0, "duration": 0.2, "runs": [{"calls": 0}], "cdf_us": []}
    return {"duration_s": 0.2, "runs": 1, "python": "3.14.0", "environment": load("benchkit").Session().environment(),
            "results": results}


CAN_JSON = {
    "python": "3.14.0", "machine": "Linux", "cpus": 1,
    "send": {name: {"per_call_median_ns": v, "until_written_median_ns": 2 * v}
             for name, v in [("raw socket.send (prepacked)", 70_000), ("CanDeviceNonBlocking.send", 12_000)]},
    "receive": {"CanDeviceNonBlocking.try_receive": {"sent": 100, "peer_rate_fps": 8000.0, "kept": 100,
                                                     "lost": 0, "reference_kernel_drops": 0},
                "python-can Bus.recv(0)": {"sent": 100, "peer_rate_fps": 8000.0, "kept": 10, "lost": 90,
                                           "reference_kernel_drops": 0}},
}
MOTOR_JSON = {"environment": {}, "feedback": None,
              "latency": {"samples": 3, "p50_us": 300.0, "p99_us": 900.0, "samples_us": [250.0, 300.0, 900.0]}}


def test_every_figure_is_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    plots = load("plots")
    (tmp_path / "timers.json").write_text(json.dumps(timers_json(tmp_path)))
    (tmp_path / "can.json").write_text(json.dumps(CAN_JSON))
    (tmp_path / "motor.json").write_text(json.dumps(MOTOR_JSON))
    assert plots.main(["--out", str(tmp_path)]) == 0
    for name in ["timers_lateness.png", "timers_fast.png", "can.png", "feedback_latency.png"]:
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", name


def test_missing_json_skips_its_figures(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plots = load("plots")
    assert plots.main(["--out", str(tmp_path)]) == 0
    assert list(tmp_path.iterdir()) == []
    assert f"plots.py: no can.json in {tmp_path}: its figures are skipped" in capsys.readouterr().out.splitlines()


@pytest.mark.parametrize(
    "env, title",
    [
        ({"cpu_model": "AMD EPYC", "cpus": 2, "kernel": "6.1", "loadavg": "1.0 0.5 0.2", "python": "3.14.0 (main)",
          "implementation": "CPython", "free_threaded": False},
         "what\nAMD EPYC, 2 CPUs, Linux 6.1, load 1.0 0.5 0.2; CPython 3.14.0"),
        ({"cpu_model": "UML", "cpus": 1, "python": "3.13.5 exp", "free_threaded": True},
         "what\nUML, 1 CPU; CPython 3.13.5 free-threaded"),
        ({}, "what\nunknown machine; CPython "),
    ],
)
def test_titles_name_the_machine_and_the_interpreter(env, title):
    assert load("plots").title_of("what", env) == title
