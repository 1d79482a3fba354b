#!/usr/bin/python3
"""Wall-time comparison of bix-safe-path-helper with the nearest coreutils commands.

Usage: bench_safe_path.py TOOL [--rounds N] [--large-mib M] [--workdir DIR]
Each figure is the median over the rounds of one process run (spawn included on both sides).
Targets: small operations within 1.5x of coreutils; the large create at least as fast as
`cat > file && sha256sum file`; private reads, staged creates and tree removal within 1.5x of
`cat` and `rm -rf`.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

QUARANTINE = ".bix-native-quarantine-" + "0" * 32


def timed_chain(commands):
    """Runs commands one after another; the total wall time."""
    return sum(timed(argv) for argv in commands)


def timed(argv, data=None, stdin_path=None):
    start = time.perf_counter()
    if stdin_path is not None:
        with open(stdin_path, "rb") as handle:
            result = subprocess.run(argv, stdin=handle, stdout=subprocess.DEVNULL)
    else:
        result = subprocess.run(argv, input=data, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"command failed ({result.returncode}): {argv[:3]}")
    return elapsed


class Root:
    def __init__(self, path):
        self.path = path
        st = os.stat(path)
        self.prologue = [path, str(st.st_dev), str(st.st_ino), str(st.st_uid)]

    def content_identity(self, name):
        st = os.lstat(os.path.join(self.path, name))
        with open(os.path.join(self.path, name), "rb") as handle:
            digest = hashlib.sha256(handle.read()).hexdigest()
        return [str(st.st_dev), str(st.st_ino), str(st.st_nlink), str(st.st_uid), str(st.st_mode),
                str(st.st_size), str(st.st_mtime_ns), digest]


def small_operations(tool, root, rounds, payload_path, size):
    figures = {}
    tool_times = {"create-private-file": [], "rename-excl": [], "unlink-checked": []}
    core_times = {"cp": [], "mv -n": [], "rm": []}
    durable_times = {"cp": [], "mv -n": [], "rm": []}
    for i in range(rounds):
        name, moved = f"f{i}", f"g{i}"
        tool_times["create-private-file"].append(timed(
            [tool, "create-private-file"] + root.prologue + [name, str(size)],
            stdin_path=payload_path))
        ids = root.content_identity(name)
        tool_times["rename-excl"].append(timed(
            [tool, "rename-excl"] + root.prologue + [name, moved] + ids[:5]))
        ids = root.content_identity(moved)
        tool_times["unlink-checked"].append(timed(
            [tool, "unlink-checked"] + root.prologue + [moved, "stage", QUARANTINE] + ids))
        target = os.path.join(root.path, f"c{i}")
        core_times["cp"].append(timed(["cp", payload_path, target]))
        core_times["mv -n"].append(timed(["mv", "-n", target, target + "m"]))
        core_times["rm"].append(timed(["rm", target + "m"]))
        # The helper flushes every file and directory it changes; coreutils with `sync` does too.
        durable = os.path.join(root.path, f"s{i}")
        durable_times["cp"].append(timed_chain([["cp", payload_path, durable],
                                                ["sync", durable, root.path]]))
        durable_times["mv -n"].append(timed_chain([["mv", "-n", durable, durable + "m"],
                                                   ["sync", root.path]]))
        durable_times["rm"].append(timed_chain([["rm", durable + "m"], ["sync", root.path]]))
    for (ours, theirs) in [("create-private-file", "cp"), ("rename-excl", "mv -n"),
                           ("unlink-checked", "rm")]:
        figures[ours] = (statistics.median(tool_times[ours]), theirs,
                         statistics.median(core_times[theirs]),
                         statistics.median(durable_times[theirs]))
    return figures


def large_create(tool, root, payload_path, size, rounds):
    ours, theirs = [], []
    for i in range(rounds):
        ours.append(timed([tool, "create-private-file"] + root.prologue + [f"big{i}", str(size)],
                          stdin_path=payload_path))
        os.unlink(os.path.join(root.path, f"big{i}"))
        target = os.path.join(root.path, f"cat{i}")
        theirs.append(timed(["sh", "-c", 'cat > "$1" && sha256sum "$1"', "sh", target],
                            stdin_path=payload_path))
        os.unlink(target)
    return statistics.median(ours), statistics.median(theirs)


def private_throughput(tool, root, work, mib, rounds):
    """read-private-file against `cat file`, create-private-file-staged against `cat > file`."""
    size = mib * 1024 * 1024
    source = os.path.join(work, f"payload-{mib}")
    with open(source, "wb") as handle:
        chunk = os.urandom(min(size, 1 << 20))
        for _ in range(max(1, size // len(chunk))):
            handle.write(chunk)
    rows = {"read-private-file": ([], []), "create-private-file-staged": ([], [])}
    for i in range(rounds):
        final = f"staged{i}"
        rows["create-private-file-staged"][0].append(timed(
            [tool, "create-private-file-staged"] + root.prologue + [final, f"stage{i}", str(size)],
            stdin_path=source))
        rows["read-private-file"][0].append(timed(
            [tool, "read-private-file"] + root.prologue + [final, str(size)]))
        os.unlink(os.path.join(root.path, final))
        target = os.path.join(root.path, f"cat{i}")
        rows["create-private-file-staged"][1].append(timed(
            ["sh", "-c", 'cat > "$1"', "sh", target], stdin_path=source))
        rows["read-private-file"][1].append(timed(["cat", target]))
        os.unlink(target)
    for name, (ours, theirs) in rows.items():
        a, b = statistics.median(ours), statistics.median(theirs)
        verdict = "ok" if a <= 1.5 * b else "over target"
        print(f"{name:28} {mib:4} MiB: {size / a / 2**20:8.0f} MiB/s; cat {size / b / 2**20:8.0f} "
              f"MiB/s; ratio {a / b:5.2f}  {verdict}")


def tree_removal(tool, root, entries):
    """remove-private-tree of a flat-ish 4,096-entry tree against `rm -rf`, entries per second."""
    def build(top):
        os.mkdir(top, 0o700)
        for d in range(64):
            sub = os.path.join(top, f"d{d}")
            os.mkdir(sub, 0o700)
            for f in range(entries // 64 - 1):
                path = os.path.join(sub, f"f{f}")
                with open(path, "wb") as handle:
                    handle.write(b"x")
                os.chmod(path, 0o600)
    build(os.path.join(root.path, "tree"))
    ours = timed([tool, "remove-private-tree"] + root.prologue + ["tree", "4096", "16"])
    build(os.path.join(root.path, "rmtree"))
    theirs = timed(["rm", "-rf", os.path.join(root.path, "rmtree")])
    verdict = "ok" if ours <= 1.5 * theirs else "over target"
    print(f"remove-private-tree {entries} entries: {entries / ours:8.0f} entries/s; rm -rf "
          f"{entries / theirs:8.0f} entries/s; ratio {ours / theirs:5.2f}  {verdict}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--large-mib", type=int, default=200)
    parser.add_argument("--large-rounds", type=int, default=3)
    parser.add_argument("--workdir", default=None)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="bix-safe-path-bench-", dir=args.workdir)
    try:
        os.chmod(work, 0o700)
        root_path = os.path.join(work, "root")
        os.mkdir(root_path, 0o700)
        root = Root(root_path)
        small = os.path.join(work, "small")
        with open(small, "wb") as handle:
            handle.write(os.urandom(4096))
        print(f"small operations, 4 KiB files, median of {args.rounds} runs")
        print(f"{'operation':22} {'helper ms':>10} {'coreutils':>10} {'ms':>8} {'ratio':>7}"
              f" {'+sync ms':>9} {'ratio':>7}")
        for ours, (ours_time, theirs, theirs_time, durable_time) in small_operations(
                args.tool, root, args.rounds, small, 4096).items():
            ratio = ours_time / theirs_time
            verdict = "ok" if ratio <= 1.5 else "over target"
            print(f"{ours:22} {ours_time * 1e3:10.3f} {theirs:>10} {theirs_time * 1e3:8.3f} "
                  f"{ratio:7.2f} {durable_time * 1e3:9.3f} {ours_time / durable_time:7.2f}"
                  f"  {verdict}")
        large = os.path.join(work, "large")
        size = args.large_mib * 1024 * 1024
        with open(large, "wb") as handle:
            chunk = os.urandom(1024 * 1024)
            for _ in range(args.large_mib):
                handle.write(chunk)
        ours_time, theirs_time = large_create(args.tool, root, large, size, args.large_rounds)
        verdict = "ok" if ours_time <= theirs_time else "over target"
        print(f"\ncreate-private-file {args.large_mib} MiB: {ours_time:.3f} s "
              f"({size / ours_time / 2**20:.0f} MiB/s); cat + sha256sum: {theirs_time:.3f} s "
              f"({size / theirs_time / 2**20:.0f} MiB/s); ratio {ours_time / theirs_time:.2f}  "
              f"{verdict}")
        print()
        for mib in (1, args.large_mib):
            private_throughput(args.tool, root, work, mib, args.large_rounds if mib > 1 else 20)
        print()
        tree_removal(args.tool, root, 4096)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
