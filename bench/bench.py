#!/usr/bin/env python3
"""Benchmark: a full 516,096-byte programming run against the simulated instrument.

Runs the tool with the line unthrottled and throttled to 115200 baud, for
each boot monitor version, and prints for each run the wall time, the tool's
own CPU time, the bytes on the wire in each direction, and the wall time
divided by the wire-time lower bound (bytes both ways / 11,520 bytes per
second, 115200 baud at 10 bits a byte). A ratio near 1 at 115200 baud means
the tool adds little beyond the line itself.

    bench/bench.py [--build build] [--monitor 1|2|both] [--only unthrottled|throttled]

A failed run prints FAILED and the last line of its console; the exit code
is then 1.

A version-2 run on the throttled line is left out unless asked for with
--monitor 2: a pseudo-terminal accepts the 5,392-byte SRAM monitor at once
and reports no output queue, so the tool cannot wait for it to leave the
line, and the terminal-mode check that follows runs out of its short read
budget (" error 73! ") before the throttled upload has arrived. On a real
serial port the write waits for the driver's queue to empty.
"""
import argparse
import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import expected as X  # noqa: E402
from harness import Sim, pattern, run_tool, write_image, write_job  # noqa: E402

LINE_BYTES_PER_SECOND = 11520
VERSIONS = {1: "v1.4 Nov 10 2006", 2: "v2.1 Mar 02 2009"}


def one_run(tool, sim_path, version_text, baud):
    work = tempfile.mkdtemp(prefix="quillmere-bench-")
    try:
        image = pattern(X.MAX_IMAGE, seed=11)
        write_image(work, "full.bin", image)
        write_job(work, b"full.bin")
        args = ["--version", version_text] + (["--baud", str(baud)] if baud else [])
        sim = Sim(sim_path, os.path.join(work, "sim"), args=args)
        try:
            result = run_tool(tool, work, sim.port_dir, "y\n", timeout=1800)
        finally:
            sim.stop()
        ok = result.boxes()[-1:] == [X.PROGRAMMING_DONE]
        state = sim.state()
        ok = ok and state.flash[:len(image)] == image
        sent, received = sim.wire_bytes()
        return {"wall": result.wall, "cpu": result.cpu, "sent": sent, "received": received,
                "ok": ok, "lost": sim.lost_bytes(), "console": result.stdout}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder holding quillmere and quillmere-sim")
    parser.add_argument("--monitor", choices=["1", "2", "both"], default="both",
                        help="boot monitor version (default: both)")
    parser.add_argument("--only", choices=["unthrottled", "throttled"])
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "quillmere")
    sim = os.path.join(build, "quillmere-sim")
    for path in (tool, sim):
        if not os.access(path, os.X_OK):
            sys.exit("%s not found: build it first (cmake --build %s)" % (path, args.build))
    versions = [1, 2] if args.monitor == "both" else [int(args.monitor)]

    modes = [("unthrottled", 0), ("115200 baud", 115200)]
    if args.only == "unthrottled":
        modes = modes[:1]
    elif args.only == "throttled":
        modes = modes[1:]

    print("full programming run of %d bytes against the simulated instrument" % X.MAX_IMAGE)
    print("%-8s %-12s %9s %12s %13s %13s %9s %11s %6s %s" % (
        "monitor", "line", "wall s", "tool cpu s", "host->dev B", "dev->host B", "bound s",
        "wall/bound", "lost", "result"))
    failed = False
    for version in versions:
        for label, baud in modes:
            if version == 2 and baud and args.monitor == "both":
                print("%-8s %-12s skipped: a pseudo-terminal has no output queue to wait for"
                      % ("v2", label), flush=True)
                continue
            r = one_run(tool, sim, VERSIONS[version], baud)
            bound = (r["sent"] + r["received"]) / LINE_BYTES_PER_SECOND
            last = r["console"].rstrip().splitlines()[-1:] or [""]
            print("%-8s %-12s %9.2f %12.3f %13d %13d %9.2f %11.3f %6d %s" % (
                "v%d" % version, label, r["wall"], r["cpu"], r["sent"], r["received"], bound,
                r["wall"] / bound if bound else 0.0, r["lost"],
                "ok" if r["ok"] else "FAILED:" + last[0]), flush=True)
            failed = failed or not r["ok"]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
