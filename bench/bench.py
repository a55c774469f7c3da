#!/usr/bin/env python3
"""Benchmark: full programming runs against the simulated instrument.

Runs the tool against the simulated instrument on its USB link (as fast as the
emulation goes, and with wall time following chip time, as long as a real
instrument takes) and on the debug serial link throttled to 115200 baud, for
each boot monitor version, and prints for each run the wall time, the tool's
and the simulator's CPU time, the bytes on the wire in each direction, the
flash pages programmed, a lower bound of the run's time and the wall time
divided by it. In real time it adds how far the wall clock ran ahead of chip
time (the simulator slower than the chip it stands for), a table of the
run's phases with each phase's time beside its share of the bound, and the
pseudo-terminal's own cost (pty_bench) as a line of its own.

The bounds:
- USB link: the bus time of every packet both ways at 19 bulk packets per
  1 ms frame, plus the flash busy time of the commands the run makes (3 ms
  per page that needs writing, 15 ms per plane erased, 2 ms per lock, unlock
  or GPNVM command), plus 1 ms per question and answer (a finished transfer
  reaches the program at the end of its frame). A page needs writing when
  its data is not all 0xFF (the flash is erased just before). A ratio near 1
  in real time means the tool and the monitors add little beyond the chip
  and the bus.
- Serial link: the bytes both ways at 11,520 bytes per second (115200 baud,
  10 bits a byte).

The "images" rows compare, in real time, a 300,000-byte image whose second
half is 0xFF with a random one of the same size: the flash applet leaves
pages alone that the erased flash already holds.

    bench/bench.py [--build build] [--monitor 1|2|both]
                   [--only fast|real-time|serial|images]

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
import resource
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import expected as X  # noqa: E402
from harness import Sim, parse_wire_log, pattern, run_tool, write_image, write_job  # noqa: E402

LINE_BYTES_PER_SECOND = 11520
VERSIONS = {1: "v1.4 Nov 10 2006", 2: "v2.1 Mar 02 2009"}
PACKETS_PER_MS = 19
PACKET = 64
PAGE = 256
PAGE_WRITE_MS = 3
PLANE_ERASE_MS = 15
PLANES = 2
LOCK_COMMAND_MS = 2
REGIONS = 32

MODES = {
    "fast": ("usb", []),
    "real-time": ("usb real time", ["--real-time"]),
    "serial": ("115200 baud", ["--link", "serial", "--baud", "115200"]),
}

# The phases of a run, each beginning with the first host frame that starts
# with its text (escaped as in the wire log); the first begins with the tool.
PHASES = [
    ("search and handshakes", None),
    ("applet uploads", ("S00200000", "S00202000")),   # version 2: the SRAM monitor first
    ("unlock and erase", ("W00202004,00000005#",)),
    ("write pass", ("S%08X" % X.BUFFER_ADDRESS,)),
    ("read-back pass", ("W00202004,00000003#",)),
    ("lock and GPNVM", ("W00202004,00000004#",)),
]


def summary_value(summary, key):
    m = re.search(r"^%s: (\d+)$" % re.escape(key), summary, re.M)
    return int(m.group(1)) if m else 0


def pages_to_write(image):
    """Pages of the written chunks (the last padded with zeros) that are not all 0xFF."""
    written = X.chunk_count(len(image)) * X.CHUNK
    data = image + bytes(written - len(image))
    erased = b"\xff" * PAGE
    return sum(1 for at in range(0, written, PAGE) if data[at:at + PAGE] != erased)


def phase_of_frames(entries):
    """The phase index of every wire-log entry, from the host frames that open each phase."""
    phase = 0
    out = []
    for e in entries:
        if e.to_device:
            for i in range(phase + 1, len(PHASES)):
                if any(e.data.startswith(text) for text in PHASES[i][1]):
                    phase = i
                    break
        out.append(phase)
    return out


def usb_phases(entries, pages):
    """Per phase: packets, answered frames, flash busy ms, bound ms, first frame ms."""
    phases = [{"packets": 0, "answered": set(), "busy_ms": 0, "start_ms": None} for _ in PHASES]
    for e, i in zip(entries, phase_of_frames(entries)):
        p = phases[i]
        if p["start_ms"] is None and e.to_device:
            p["start_ms"] = e.ms
        if e.to_device:
            # One write per frame; an S frame's header and data are two.
            n = e.length
            writes = [19, n - 19] if e.data.startswith("S") and n > 19 else [n]
            p["packets"] += sum(-(-w // PACKET) for w in writes)
        else:
            p["answered"].add(e.frame)
            p["packets"] += e.length // PACKET + 1   # a multiple of 64 ends with a zero-length packet
    phases[2]["busy_ms"] = REGIONS * LOCK_COMMAND_MS + PLANES * PLANE_ERASE_MS
    phases[3]["busy_ms"] = pages * PAGE_WRITE_MS
    phases[5]["busy_ms"] = (REGIONS + 1) * LOCK_COMMAND_MS
    for p in phases:
        p["bound_ms"] = p["packets"] / PACKETS_PER_MS + p["busy_ms"] + len(p["answered"])
    return phases


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def one_run(tool, sim_path, version_text, sim_args, image):
    work = tempfile.mkdtemp(prefix="quillmere-bench-")
    try:
        write_image(work, "image.bin", image)
        write_job(work, b"image.bin")
        sim = Sim(sim_path, os.path.join(work, "sim"), args=["--version", version_text] + sim_args)
        try:
            result = run_tool(tool, work, sim.port_dir, "y\n", timeout=1800)
        finally:
            cpu_before = children_cpu()
            sim.stop()
            sim_cpu = children_cpu() - cpu_before
        ok = result.boxes()[-1:] == [X.PROGRAMMING_DONE]
        state = sim.state()
        ok = ok and state.flash[:len(image)] == image
        sent, received = sim.wire_bytes()
        summary = sim.summary()
        pages = pages_to_write(image)
        run = {"wall": result.wall, "cpu": result.cpu, "sim_cpu": sim_cpu, "sent": sent,
               "received": received, "ok": ok, "console": result.stdout,
               "page_writes": summary_value(summary, "flash_page_writes"), "pages": pages,
               "behind_s": summary_value(summary, "real_time_behind_us") / 1e6,
               "max_behind_ms": summary_value(summary, "real_time_max_behind_us") / 1e3}
        if "link: usb" in summary:
            entries = parse_wire_log(sim.wire_log)
            phases = usb_phases(entries, pages)
            run["bound"] = sum(p["bound_ms"] for p in phases) / 1000.0
            run["packets_counted"] = summary_value(summary, "usb_out_packets") + summary_value(summary, "usb_in_packets")
            run["packets_derived"] = sum(p["packets"] for p in phases)
            run["answers"] = sum(len(p["answered"]) for p in phases)
            run["small_answers"] = run["answers"] - X.chunk_count(len(image))   # all but the R answers
            # Phase times in wall seconds on the simulator's clock, from the
            # first frame of a phase to the first of the next; the last ends
            # with the tool's last frame (T#). The first phase is the rest of
            # the tool's wall time: its start, the search and the handshakes.
            last_ms = max(e.ms for e in entries if e.to_device)
            starts = [p["start_ms"] for p in phases[1:]] + [last_ms]
            for i, p in enumerate(phases[1:], 1):
                end = next(t for t in starts[i:] if t is not None)
                p["wall"] = (end - p["start_ms"]) / 1000.0 if p["start_ms"] is not None else 0.0
            phases[0]["wall"] = result.wall - sum(p["wall"] for p in phases[1:])
            version_frames = [e for e in entries if e.to_device and e.data.startswith("V#")]
            if version_frames:
                # The version text has no fixed length: its read runs out the
                # short profile's budget (the protocol's wait, not the bus's).
                after = [e.ms for e in entries if e.to_device and e.ms >= version_frames[0].ms
                         and e.frame > version_frames[0].frame]
                run["version_wait"] = (after[0] - version_frames[0].ms) / 1000.0 if after else 0.0
            run["phases"] = phases
            lost_keys = ("usb_lost_events", "usb_repeats_dropped", "usb_missing_zlp")
            run["lost"] = sum(summary_value(summary, k) for k in lost_keys)
            run["lost_what"] = " ".join("%s %d" % (k, summary_value(summary, k)) for k in lost_keys
                                        if summary_value(summary, k))
            if run["lost"]:
                run["lost_log"] = [line for line in sim.log().splitlines()
                                   if re.search(r"held on the host|lost event|as a repeat", line)][:5]
        else:
            run["bound"] = (sent + received) / LINE_BYTES_PER_SECOND
            run["lost"] = sim.lost_bytes()
        return run
    finally:
        shutil.rmtree(work, ignore_errors=True)


def pty_floor(build):
    """Medians in ms of the pty's own cost per full-chunk and per small answer, or None."""
    path = os.path.join(build, "pty_bench")
    if not os.access(path, os.X_OK):
        return None
    out = subprocess.run([path], capture_output=True, text=True, timeout=120).stdout
    m = re.search(r"^floor_ms (\S+) (\S+)$", out, re.M)
    return (float(m.group(1)), float(m.group(2)), out) if m else None


HEADER = ("%-8s %-14s %-15s %8s %9s %8s %11s %11s %6s %8s %7s %7s %5s %s" % (
    "monitor", "link", "image", "wall s", "tool cpu", "sim cpu", "host->dev B", "dev->host B", "pages",
    "bound s", "ratio", "behind", "lost", "result"))


def print_row(version, label, image_label, r):
    last = r["console"].rstrip().splitlines()[-1:] or [""]
    behind = "%7.3f" % r["behind_s"] if label.endswith("real time") else "%7s" % "-"
    pages = "%d" % r["page_writes"] if r["page_writes"] == r["pages"] else "%d!=%d" % (r["page_writes"], r["pages"])
    print("%-8s %-14s %-15s %8.2f %9.3f %8.3f %11d %11d %6s %8.2f %7.3f %s %5d %s" % (
        "v%d" % version, label, image_label, r["wall"], r["cpu"], r["sim_cpu"], r["sent"], r["received"], pages,
        r["bound"], r["wall"] / r["bound"] if r["bound"] else 0.0, behind, r["lost"],
        ("ok" if r["ok"] else "FAILED:" + last[0]) + (" (%s)" % r["lost_what"] if r.get("lost_what") else "")),
        flush=True)
    for line in r.get("lost_log", []):
        print("    simulator log: " + line, flush=True)


def print_phases(version, r, floor):
    print("  v%d real time, phase by phase:" % version)
    print("  %-22s %8s %8s %7s %8s %9s" % ("phase", "wall s", "bound s", "ratio", "packets", "answers"))
    for (name, _), p in zip(PHASES, r["phases"]):
        bound = p["bound_ms"] / 1000.0
        print("  %-22s %8.3f %8.3f %7.3f %8d %9d" % (
            name, p["wall"], bound, p["wall"] / bound if bound else 0.0, p["packets"], len(p["answered"])))
    if r.get("version_wait"):
        print("  of the first phase, %.3f s are the version answer's read: its length is not known, so the read "
              "waits out its short time-out" % r["version_wait"])
    print("  packets derived from the wire log %d, counted by the driver %d; wall clock ahead of chip time "
          "%.3f s in all, at most %.1f ms at once" % (
              r["packets_derived"], r["packets_counted"], r["behind_s"], r["max_behind_ms"]))
    if floor:
        floor_s = (X.chunk_count(X.MAX_IMAGE) * floor[0] + r["small_answers"] * floor[1]) / 1000.0
        print("  pty floor: %.3f ms per 21,503-byte answer, %.3f ms per small answer: %.3f s for this run; "
              "wall / (bound + floor) %.3f" % (floor[0], floor[1], floor_s, r["wall"] / (r["bound"] + floor_s)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder holding quillmere and quillmere-sim")
    parser.add_argument("--monitor", choices=["1", "2", "both"], default="both",
                        help="boot monitor version (default: both)")
    parser.add_argument("--only", choices=sorted(list(MODES) + ["images"]))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "quillmere")
    sim = os.path.join(build, "quillmere-sim")
    for path in (tool, sim):
        if not os.access(path, os.X_OK):
            sys.exit("%s not found: build it first (cmake --build %s)" % (path, args.build))
    versions = [1, 2] if args.monitor == "both" else [int(args.monitor)]
    modes = [args.only] if args.only else ["fast", "real-time", "serial", "images"]

    floor = pty_floor(build) if "real-time" in modes else None
    full = pattern(X.MAX_IMAGE, seed=11)
    half = 300000 // 2
    images = [("300000 half FF", pattern(half, seed=5) + b"\xff" * half),
              ("300000 random", pattern(300000, seed=5))]
    print("full programming runs against the simulated instrument (%d CPUs, load %.2f)"
          % (os.cpu_count(), os.getloadavg()[0]))
    print(HEADER)
    failed = False
    phase_rows = []
    for version in versions:
        for mode in modes:
            if mode == "images":
                for image_label, image in images:
                    r = one_run(tool, sim, VERSIONS[version], MODES["real-time"][1], image)
                    print_row(version, MODES["real-time"][0], image_label, r)
                    failed = failed or not r["ok"]
                continue
            label, sim_args = MODES[mode]
            if version == 2 and mode == "serial":
                print("%-8s %-14s %-15s skipped: a pseudo-terminal has no output queue to wait for"
                      % ("v2", label, "516096 random"), flush=True)
                continue
            r = one_run(tool, sim, VERSIONS[version], sim_args, full)
            print_row(version, label, "516096 random", r)
            failed = failed or not r["ok"]
            if mode == "real-time" and "phases" in r:
                phase_rows.append((version, r))
    for version, r in phase_rows:
        print_phases(version, r, floor)
    if floor:
        print("pty_bench:")
        for line in floor[2].splitlines():
            if not line.startswith("floor_ms"):
                print("  " + line)
    print("load average at the end %.2f" % os.getloadavg()[0])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
