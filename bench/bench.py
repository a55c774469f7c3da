#!/usr/bin/env python3
"""Benchmark: a full 516,096-byte programming run against the simulated instrument.

Runs the tool twice, with the line unthrottled and throttled to 115200 baud,
and prints for each run the wall time, the tool's own CPU time, the bytes on
the wire in each direction, and the wall time divided by the wire-time lower
bound (bytes both ways / 11,520 bytes per second, 115200 baud at 10 bits a
byte). A ratio near 1 at 115200 baud means the tool adds little beyond the
line itself.

    bench/bench.py [--build build] [--v1] [--only unthrottled|throttled]
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
    parser.add_argument("--v1", action="store_true", help="version-1 boot monitor (default: version 2)")
    parser.add_argument("--only", choices=["unthrottled", "throttled"])
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "quillmere")
    sim = os.path.join(build, "quillmere-sim")
    for path in (tool, sim):
        if not os.access(path, os.X_OK):
            sys.exit("%s not found: build it first (cmake --build %s)" % (path, args.build))
    version = 1 if args.v1 else 2

    modes = [("unthrottled", 0), ("115200 baud", 115200)]
    if args.only == "unthrottled":
        modes = modes[:1]
    elif args.only == "throttled":
        modes = modes[1:]

    print("full programming run: %d bytes, version-%d boot monitor" % (X.MAX_IMAGE, version))
    header = "%-12s %9s %12s %13s %13s %12s %11s %6s %s" % (
        "line", "wall s", "tool cpu s", "host->dev B", "dev->host B", "bound s", "wall/bound",
        "lost", "result")
    print(header)
    failed = False
    for label, baud in modes:
        r = one_run(tool, sim, VERSIONS[version], baud)
        bound = (r["sent"] + r["received"]) / LINE_BYTES_PER_SECOND
        print("%-12s %9.2f %12.3f %13d %13d %12.2f %11.3f %6d %s" % (
            label, r["wall"], r["cpu"], r["sent"], r["received"], bound,
            r["wall"] / bound if bound else 0.0, r["lost"], "ok" if r["ok"] else "FAILED"),
            flush=True)
        if not r["ok"]:
            failed = True
            sys.stderr.write(r["console"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
