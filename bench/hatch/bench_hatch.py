"""bix-hatch-tool benchmark: launcher start-up against plain Python, and a full pipeline.

    bench_hatch.py --assemble ASSEMBLE_SCRIPT --python PYTHON3.X [--runs N]

Start-up: a benchmark-only runtime whose bix_hatch_tool.py returns at once, run as
`bix-hatch-tool self-test`, is timed in the same run as `PYTHON -I -S -m keyword` (start-up
through runpy, as the launcher's run_module does) and `PYTHON -I -S -c pass`, interleaved
(target: median within 1.2x of `-m keyword`). The runtime is sealed like the real one, so the
launcher's checks of the whole tree and of its loaded objects are part of the figure.
Pipeline: 16 animations of 8 frames of 128x128 with Paeth-filtered strips through prepare,
ten parallel jobs, assemble and finalize.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "..", "hatch-tool", "tools", "make_sample_pet.py")


def timed(command, cwd, env, cpu=None):
    """Wall time of one run; its CPU time (user + system) is appended to cpu when given, a
    figure that the load of other processes on the machine disturbs far less."""
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    stderr = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    process.stderr.close()
    if process.returncode != 0:
        sys.exit("%s failed: %s" % (command, stderr.decode()))
    if cpu is not None:
        cpu.append(usage.ru_utime + usage.ru_stime)
    return elapsed


def assemble(script, out, entry=None):
    command = [script, out] + (["--entry-module", entry] if entry else [])
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "bin", "bix-hatch-tool")


def start_up(script, python, scratch, runs, env):
    launcher = assemble(script, os.path.join(scratch, "empty-root"),
                        os.path.join(HERE, "empty_entry.py"))
    commands = {"launcher": [launcher, "self-test"],
                "python": [python, "-I", "-S", "-c", "pass"],
                "python-m": [python, "-I", "-S", "-m", "keyword"]}
    samples = {name: [] for name in commands}
    cpu = {name: [] for name in commands}
    for _ in range(3):
        for command in commands.values():
            timed(command, scratch, env)
    for _ in range(runs):
        for name, command in commands.items():
            samples[name].append(timed(command, scratch, env, cpu[name]))
    launcher_ms = statistics.median(samples["launcher"]) * 1000
    python_ms = statistics.median(samples["python"]) * 1000
    module_ms = statistics.median(samples["python-m"]) * 1000
    print("start-up, median of %d interleaved runs:" % runs)
    print("  bix-hatch-tool (empty module)   %7.2f ms  (min %.2f)" % (
        launcher_ms, min(samples["launcher"]) * 1000))
    print("  %s -I -S -c pass  %7.2f ms  (min %.2f)" % (
        os.path.basename(python), python_ms, min(samples["python"]) * 1000))
    print("  %s -I -S -m keyword   %7.2f ms  (min %.2f; start-up through runpy, as run_module)"
          % (os.path.basename(python), module_ms, min(samples["python-m"]) * 1000))
    print("  CPU time (user + system), medians: launcher %.2f ms, -m keyword %.2f ms, "
          "-c pass %.2f ms" % tuple(statistics.median(cpu[name]) * 1000
                                    for name in ("launcher", "python-m", "python")))
    ratio = launcher_ms / module_ms
    print("  ratio to -m keyword %.2fx (target <= 1.20x): %s; to -c pass %.2fx" % (
        ratio, "met" if ratio <= 1.2 else "NOT met", launcher_ms / python_ms))


def pipeline(script, scratch, env):
    launcher = assemble(script, os.path.join(scratch, "root"))
    workspace = os.path.join(scratch, "ws")
    os.mkdir(workspace, 0o700)
    subprocess.run([sys.executable, SAMPLE, workspace, "--animations", "16", "--frames", "8",
                    "--size", "128", "--filter", "4"], check=True)
    figures = []
    begin = time.perf_counter()
    figures.append(("prepare", timed([launcher, "prepare", "--workspace", workspace],
                                     workspace, env)))
    start = time.perf_counter()
    jobs = [subprocess.Popen([launcher, "job", "--workspace", workspace, "--index", str(i)],
                             cwd=workspace, env=env, stdout=subprocess.DEVNULL)
            for i in range(10)]
    try:
        if any(job.wait() != 0 for job in jobs):
            sys.exit("a job failed")
    finally:
        for job in jobs:
            if job.poll() is None:
                job.kill()
                job.wait()
    figures.append(("10 jobs in parallel", time.perf_counter() - start))
    for stage in ("assemble", "finalize"):
        figures.append((stage, timed([launcher, stage, "--workspace", workspace], workspace, env)))
    total = time.perf_counter() - begin
    print("pipeline, 16 animations x 8 frames of 128x128 (Paeth strips), %d cores:"
          % os.cpu_count())
    for label, seconds in figures:
        print("  %-22s %7.2f s" % (label, seconds))
    print("  %-22s %7.2f s" % ("total wall time", total))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--assemble", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--runs", type=int, default=40)
    arguments = parser.parse_args()
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    scratch = tempfile.mkdtemp(prefix="bix-hatch-bench-")
    try:
        start_up(arguments.assemble, arguments.python, scratch, arguments.runs, env)
        pipeline(arguments.assemble, scratch, env)
    finally:
        for directory, _, _ in os.walk(scratch):
            os.chmod(directory, 0o755)
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
