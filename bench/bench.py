#!/usr/bin/env python3
"""Benchmark: a full 516,096-byte programming run against the simulated instrument.

Runs the tool against the simulated instrument on its USB link (as fast as the
emulation goes, and with wall time following chip time, as long as a real
instrument takes) and on the debug serial link throttled to 115200 baud, for
each boot monitor version, and prints for each run the wall time, the tool's
own CPU time, the bytes on the wire in each direction, a lower bound of the
run's time and the wall time divided by it.

The bounds:
- USB link: the bus time of every packet both ways at 19 bulk packets per
  1 ms frame, plus the flash busy time of the commands the run makes (3 ms
  per page written, 15 ms per plane erased, 2 ms per lock, unlock or GPNVM
  command), plus 1 ms per question and answer (a finished transfer reaches
  the program at the end of its frame). A ratio near 1 in real time means the
  tool and the monitors add little beyond the chip and the bus.
- Serial link: the bytes both ways at 11,520 bytes per second (115200 baud,
  10 bits a byte).

    bench/bench.py [--build build] [--monitor 1|2|both] [--only fast|real-time|serial]

A failed run prints FAILED and the last line of its console; the exit code
is then 1.

A version-2 run on the throttled serial line is left out: a pseudo-terminal
accepts the 5,392-byte SRAM monitor at once and reports no output queue, so
the tool cannot wait for it to leave the line, and the terminal-mode check
that follows runs out of its short read budget (" error 73! ") before the
throttled upload has arrived. On a real serial port the write waits for the
driver's queue to empty.
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import expected as X  # noqa: E402
from harness import Sim, parse_wire_log, pattern, run_tool, write_image, write_job  # noqa: E402

LINE_BYTES_PER_SECOND = 11520
VERSIONS = {1: "v1.4 Nov 10 2006", 2: "v2.1 Mar 02 2009"}
PACKETS_PER_MS = 19
PAGE = 256
PAGE_WRITE_MS = 3
PLANE_ERASE_MS = 15
PLANES = 2
LOCK_COMMAND_MS = 2
LOCK_COMMANDS = 32 + 32 + 1   # unlock every region, lock every region, GPNVM2

MODES = {
    "fast": ("usb", []),
    "real-time": ("usb real time", ["--real-time"]),
    "serial": ("115200 baud", ["--link", "serial", "--baud", "115200"]),
}


def summary_value(summary, key):
    m = re.search(r"^%s: (\d+)$" % re.escape(key), summary, re.M)
    return int(m.group(1)) if m else 0


def usb_bound_s(summary, wire_log, image_size):
    """Bus time of the packets, flash busy time, 1 ms per question and answer."""
    packets = summary_value(summary, "usb_out_packets") + summary_value(summary, "usb_in_packets")
    chunks = -(-image_size // X.CHUNK)
    pages = chunks * X.CHUNK // PAGE
    answered = {e.frame for e in parse_wire_log(wire_log) if not e.to_device}
    ms = (packets / PACKETS_PER_MS + pages * PAGE_WRITE_MS + PLANES * PLANE_ERASE_MS
          + LOCK_COMMANDS * LOCK_COMMAND_MS + len(answered))
    return ms / 1000.0


def one_run(tool, sim_path, version_text, sim_args):
    work = tempfile.mkdtemp(prefix="quillmere-bench-")
    try:
        image = pattern(X.MAX_IMAGE, seed=11)
        write_image(work, "full.bin", image)
        write_job(work, b"full.bin")
        sim = Sim(sim_path, os.path.join(work, "sim"), args=["--version", version_text] + sim_args)
        try:
            result = run_tool(tool, work, sim.port_dir, "y\n", timeout=1800)
        finally:
            sim.stop()
        ok = result.boxes()[-1:] == [X.PROGRAMMING_DONE]
        state = sim.state()
        ok = ok and state.flash[:len(image)] == image
        sent, received = sim.wire_bytes()
        summary = sim.summary()
        usb = "link: usb" in summary
        if usb:
            bound = usb_bound_s(summary, sim.wire_log, len(image))
            lost = (summary_value(summary, "usb_lost_events") + summary_value(summary, "usb_repeats_dropped")
                    + summary_value(summary, "usb_missing_zlp"))
        else:
            bound = (sent + received) / LINE_BYTES_PER_SECOND
            lost = sim.lost_bytes()
        return {"wall": result.wall, "cpu": result.cpu, "sent": sent, "received": received,
                "ok": ok, "lost": lost, "bound": bound, "console": result.stdout}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder holding quillmere and quillmere-sim")
    parser.add_argument("--monitor", choices=["1", "2", "both"], default="both",
                        help="boot monitor version (default: both)")
    parser.add_argument("--only", choices=sorted(MODES))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "quillmere")
    sim = os.path.join(build, "quillmere-sim")
    for path in (tool, sim):
        if not os.access(path, os.X_OK):
            sys.exit("%s not found: build it first (cmake --build %s)" % (path, args.build))
    versions = [1, 2] if args.monitor == "both" else [int(args.monitor)]
    modes = [args.only] if args.only else ["fast", "real-time", "serial"]

    print("full programming run of %d bytes against the simulated instrument" % X.MAX_IMAGE)
    print("%-8s %-14s %9s %12s %13s %13s %9s %11s %6s %s" % (
        "monitor", "link", "wall s", "tool cpu s", "host->dev B", "dev->host B", "bound s",
        "wall/bound", "lost", "result"))
    failed = False
    for version in versions:
        for mode in modes:
            label, sim_args = MODES[mode]
            if version == 2 and mode == "serial":
                print("%-8s %-14s skipped: a pseudo-terminal has no output queue to wait for"
                      % ("v2", label), flush=True)
                continue
            r = one_run(tool, sim, VERSIONS[version], sim_args)
            last = r["console"].rstrip().splitlines()[-1:] or [""]
            print("%-8s %-14s %9.2f %12.3f %13d %13d %9.2f %11.3f %6d %s" % (
                "v%d" % version, label, r["wall"], r["cpu"], r["sent"], r["received"], r["bound"],
                r["wall"] / r["bound"] if r["bound"] else 0.0, r["lost"],
                "ok" if r["ok"] else "FAILED:" + last[0]), flush=True)
            failed = failed or not r["ok"]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
