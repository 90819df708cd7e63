"""Measuring for bench.py: commands timed in their own processes through bench_measure
(wall time and peak resident memory), Pillow timed in this process with timeit, and the
figures of velmo_bench (Google Benchmark) read from its JSON report."""

import json
import os
import shutil
import statistics
import subprocess
import timeit

try:
    import PIL
    from PIL import Image
    # The peers are compared on the same files: Pillow's guard against decompression bombs
    # would refuse the 30000 x 30000 header and the 15000 x 15000 source outright.
    Image.MAX_IMAGE_PIXELS = None
except ImportError:  # Pillow is a peer; without it its columns read n/a.
    PIL = None
    Image = None

MIB = 1024 * 1024


class Proc:
    """Median wall time and peak memory of a command (or a pipeline of commands run one after
    the other) over several runs."""

    def __init__(self, ok, times=None, rss=0, error=""):
        self.ok = ok
        self.times = times or []
        self.rss = rss  # bytes, the largest ru_maxrss of any run
        self.error = error

    @property
    def ms(self):
        return statistics.median(self.times) * 1000 if self.ok else None

    @property
    def rss_mib(self):
        return self.rss / MIB if self.ok else None


MEASURE = None  # path of bench_measure, set by bench.py


def run_proc(commands, runs, before=None, warmup=1, env=None):
    if commands and isinstance(commands[0], str):
        commands = [commands]
    for command in commands:
        if not (os.path.exists(command[0]) or shutil.which(command[0])):
            return Proc(False, error=f"{command[0]} not found")
    times, peak = [], 0
    for i in range(warmup + runs):
        if before:
            before()
        elapsed = 0.0
        for command in commands:
            result = subprocess.run([MEASURE] + command, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True,
                                    env=dict(os.environ, **env) if env else None)
            fields = result.stdout.split()
            if result.returncode != 0 or len(fields) != 3 or fields[2] != "0":
                message = result.stderr.strip().splitlines()
                return Proc(False, error=(message[-1] if message else
                                          f"{os.path.basename(command[0])} failed"))
            elapsed += float(fields[0])
            peak = max(peak, int(fields[1]) * 1024)
        if i >= warmup:
            times.append(elapsed)
    return Proc(True, times, peak)


def pillow_time(fn, runs, number=None):
    """Median seconds per call of |fn| (timeit, Pillow in this process), or None."""
    if Image is None:
        return None
    try:
        fn()
    except Exception as error:  # a peer that cannot do the job reads n/a
        return f"n/a ({type(error).__name__})"
    if number is None:
        once = timeit.timeit(fn, number=1)
        number = max(1, int(0.1 / max(once, 1e-7)))
    samples = timeit.repeat(fn, number=number, repeat=runs)
    return statistics.median(samples) / number


def gbench(build, data, goals, quick):
    """Runs velmo_bench on the goals' benchmarks; returns {name: entry} of the medians."""
    binary = os.path.join(build, "bench", "velmo_bench")
    if not os.path.exists(binary):
        print("note: velmo_bench is not built; our in-process columns read n/a")
        return {}
    groups = {1: ["metadata"], 2: ["jpeg", "png", "write"], 3: ["render", "thumbnail"],
              4: ["tile", "deep"], 5: ["full"], 6: ["strokes", "blur_preview"]}
    wanted = [g for goal in goals for g in groups[goal]]
    out = os.path.join(data, "out", "velmo_bench.json")
    args = [binary, f"--data={data}", f"--benchmark_filter=^({'|'.join(wanted)})/",
            "--benchmark_out_format=json", f"--benchmark_out={out}"]
    if quick:
        args.append("--repetitions=3")
    if os.path.exists(out):
        os.remove(out)
    print("running velmo_bench ...", flush=True)
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0 or not os.path.exists(out):
        print(result.stdout[-3000:])
        return {}
    entries = {}
    with open(out) as f:
        report = json.load(f)
    for entry in report.get("benchmarks", []):
        # "render/ours/crop/min_time:0.200/repeats:5/real_time" -> "render/ours/crop"
        name = "/".join(part for part in entry.get("run_name", entry["name"]).split("/")
                        if ":" not in part and part != "real_time")
        if entry.get("error_occurred"):
            entries[name] = {"error": entry.get("error_message", "failed")}
        elif entry.get("aggregate_name") == "median":
            entries[name] = entry
    return entries


def gb_ms(entries, name):
    """Median milliseconds of a velmo_bench benchmark, or a short reason it has none."""
    entry = entries.get(name)
    if entry is None:
        return None
    if "error" in entry:
        return "skipped: " + entry["error"]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]
    return entry["real_time"] * scale


def gb_cpu_ms(entries, name):
    """Median CPU milliseconds of a velmo_bench benchmark (this thread's), or None."""
    entry = entries.get(name)
    if not entry or "error" in entry:
        return None
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]
    return entry["cpu_time"] * scale


def gb_counter(entries, name, counter):
    entry = entries.get(name)
    if not entry or "error" in entry or counter not in entry:
        return None
    return entry[counter]
