#!/usr/bin/env python3
"""Whole-program benchmark of plutil on a large binary domain, against plistlib.

  plutil_whole_program.py [--plutil PATH]... [--entries N] [--repeats N] [--baseline-repeats N]
                          [--preload LIBRARY]

Generates a binary domain of N mixed top-level entries (250,000 by default: about 11 MB)
with plistlib, then runs the real program again and again, as a user would:

  plutil -convert binary1 DOMAIN -o OUT    read and write, timed from start to exit
  plutil -lint DOMAIN                      read alone: the process's peak memory

beside plistlib reading the domain and writing it (binary) in one Python process, timed
inside that process (its start-up is not counted), in the same rounds as the program runs so
that a machine whose speed drifts slows both alike. Prints the medians, their ratio, and
the peak memory against the file's size. Several --plutil (builds before and after a
change, say) are measured on the same domain in the same run; --preload runs each a second
time with LIBRARY in LD_PRELOAD (another malloc, say), to compare allocators.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE = os.path.join(HERE, "plistlib_baseline.py")


def run_program(command, env):
    """Seconds from start to exit, and the peak resident memory in bytes."""
    started = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    if status != 0:
        sys.exit("plutil_whole_program: %s failed (status %d)" % (" ".join(command), status))
    return elapsed, usage.ru_maxrss * 1024


def plistlib_convert(domain, out):
    return float(subprocess.run([sys.executable, BASELINE, "convert", domain, out, "1"],
                                check=True, capture_output=True, text=True).stdout)


def check_output(domain, out):
    """What a program wrote reads back as what it read."""
    subprocess.run([sys.executable, "-c",
                    "import plistlib,sys; a=plistlib.load(open(sys.argv[1],'rb')); "
                    "b=plistlib.load(open(sys.argv[2],'rb')); sys.exit(a != b)", domain, out], check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plutil", action="append")
    parser.add_argument("--entries", type=int, default=250000)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--baseline-repeats", type=int, default=5)
    parser.add_argument("--preload")
    args = parser.parse_args()
    programs = args.plutil or [os.path.join(HERE, "..", "..", "build", "bin", "plutil")]

    with tempfile.TemporaryDirectory(prefix="plutil-bench.") as folder:
        domain = os.path.join(folder, "domain.plist")
        out = os.path.join(folder, "out.plist")
        subprocess.run([sys.executable, BASELINE, "generate-mixed", str(args.entries), domain], check=True)
        size = os.path.getsize(domain)
        runs = []
        for program in programs:
            name = os.path.relpath(program)
            runs.append((name, program, dict(os.environ)))
            if args.preload:
                runs.append((name + ", LD_PRELOAD=" + os.path.basename(args.preload), program,
                             dict(os.environ, LD_PRELOAD=args.preload)))
        # Rounds interleave the baseline and every program, so that a machine whose speed drifts
        # (a shared host) slows them alike; each round's plistlib run is one conversion in one
        # process, its start-up not counted.
        baseline = []
        converts = {name: [] for name, _, _ in runs}
        for round in range(args.repeats):
            if round < args.baseline_repeats:
                baseline.append(plistlib_convert(domain, out))
            for name, program, env in runs:
                converts[name].append(run_program([program, "-convert", "binary1", domain, "-o", out], env)[0])
        baseline = statistics.median(baseline)
        print("plutil -convert binary1 of a %d-byte binary domain (%d mixed entries), whole program;"
              " median of %d runs, plistlib in one process: median of %d, in the same rounds" %
              (size, args.entries, args.repeats, args.baseline_repeats))
        print("%-52s %10s %14s %8s %14s %8s" % ("", "ours (ms)", "plistlib (ms)", "ratio", "peak read (MB)", "x file"))
        for name, program, env in runs:
            run_program([program, "-convert", "binary1", domain, "-o", out], env)
            check_output(domain, out)
            peak = max(run_program([program, "-lint", domain], env)[1] for _ in range(3))
            seconds = statistics.median(converts[name])
            print("%-52s %10.1f %14.1f %7.1fx %14.1f %7.2fx" %
                  (name, seconds * 1e3, baseline * 1e3, baseline / seconds, peak / 1e6, peak / size))


if __name__ == "__main__":
    main()
