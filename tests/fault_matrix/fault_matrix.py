#!/usr/bin/env python3
"""Fault matrix: the real tool against the simulated instrument, one fault per run.

A clean run with a two-chunk image is recorded first; its wire log gives the
frame count K. Then, for every frame index k (or a stride of them), each fault
kind is injected at k and the run is checked:

  * it ends by itself (a run still going after --timeout seconds is a hang),
    with exit code 0 and no sanitizer report (otherwise a crash);
  * the console holds printable ASCII only;
  * the success notice appears only when the simulated flash equals the
    zero-padded image, and, for faults of the device and the line (dropped,
    corrupted or missing replies, a closed line), only when all 32 lock bits
    and GPNVM2 are set;
  * GPNVM2, clear before the run, is set after the Yes only when the verify
    pass printed its " OK";
  * a failing run prints exactly one failure line of the tool's forms, with a
    code that belongs to its stage, and ends with that stage's notice (lines,
    codes and notices as the tool's own list of outcomes gives them, read from
    the program given with --outcomes);
  * a run that ended before the operator's Yes left flash, lock bits and GPNVM
    bits exactly as they were.

Frames carry no checksum: a byte corrupted on its way into the device can turn
a valid argument into another valid one (a region number, a GPNVM bit, a data
byte). Runs whose corrupted frame is still a well-formed frame are counted
apart, and a broken invariant in such a run is reported as that limit, not as
a breach.

"Also tried" cases (bad job files and images, held and decoy ports, a device
that streams without end, a version text with no terminator) run after the
matrix unless --no-cases is given.

Usage:
  fault_matrix.py --tool build/quillmere --sim build/quillmere-sim \
                  --outcomes build/quillmere-outcomes [--full]
Sampled mode (default) injects the closed line at every frame and the other
kinds at a stride; --full injects every kind at every frame. The exit status
is 0 only when there was no hang, crash or breach.
"""
import argparse
import concurrent.futures
import datetime
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

CHUNK = 0x5400
FLASH_SIZE = 0x80000
STATE_MAGIC = b"QMSIMST1"
ALL_LOCKS = 0xFFFFFFFF
GPNVM2 = 1 << 2

KINDS = ["drop-reply", "corrupt-reply", "close-at", "silent-from", "corrupt-request"]
DEVICE_SIDE = {"drop-reply", "corrupt-reply", "close-at", "silent-from"}

DONE_TEXT = "Запись новой программы в прибор выполнена"
CANCELLED_TEXT = "Режим программирования отменен"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "UndefinedBehaviorSanitizer", "AddressSanitizer:DEADLYSIGNAL")

# The tool's own list of outcomes (quillmere-outcomes prints it): every
# failure line the run can end with, the stage heading it follows, the codes it
# can carry and the box that follows. A failed run is judged by it, so the
# matrix cannot drift from the tool. Set by load_outcomes().
OUTCOMES = []
# (line template, regex) for each failure line of the list.
FAILURE_FORMS = []
# Lines that end a stage without failing it, or say nothing of their own.
NOT_FAILURES = ("", " \n", " OK \n")
SEARCH_HEADING = "2. Search Device ... \n "


def line_regex(template):
    """The regex of a line template: "%d" a result code (captured), "%X" a
    hexadecimal word or byte, "%n" a decimal number that is no code."""
    parts = re.split(r"(%[dXn])", template)
    pattern = ""
    for part in parts:
        if part == "%d":
            pattern += r"(-?\d+)"
        elif part == "%X":
            pattern += r"[0-9A-F]+"
        elif part == "%n":
            pattern += r"\d+"
        else:
            pattern += re.escape(part)
    return re.compile(pattern)


def load_outcomes(program):
    """Reads the tool's list of outcomes from the program that prints it."""
    out = subprocess.run([program], check=True, stdout=subprocess.PIPE, timeout=30).stdout
    OUTCOMES[:] = json.loads(out.decode("utf-8"))["outcomes"]
    for o in OUTCOMES:
        o["codes"] = frozenset(o["codes"])
    lines = []
    for o in OUTCOMES:
        if o["line"] not in NOT_FAILURES and o["line"] not in lines:
            lines.append(o["line"])
    FAILURE_FORMS[:] = [(line, line_regex(line)) for line in lines]


def has_code(outcome, code):
    """True when code is one of the outcome's codes (the list gives them
    expanded, by the tool's own reading of its code words)."""
    return code in outcome["codes"]


def stage_headings():
    """The stage headings the outcomes follow, in the order of the list."""
    headings = []
    for o in OUTCOMES:
        if o["after"] and o["after"] not in headings:
            headings.append(o["after"])
    return headings


BOX_RE = re.compile(r"\[(Error \d+|QUILLMERE| Attention )\] ")


# --------------------------------------------------------------------------
# Files: the image, the simulator's state file, the wire log.

def make_image(size, seed=2026):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def padded(image):
    """The image as the passes write it: whole chunks, zero-filled. A read that
    ends exactly at a chunk boundary has not met the end of the file yet, so
    such an image gets one more chunk of zeros (up to 24 chunks)."""
    chunks = min(24, len(image) // CHUNK + 1)
    return image[:chunks * CHUNK] + bytes(max(0, chunks * CHUNK - len(image)))


def initial_state():
    """An instrument as it comes in: old firmware, all regions locked, GPNVM2 clear."""
    old = make_image(0x18000, seed=7) + b"\xFF" * (FLASH_SIZE - 0x18000)
    return STATE_MAGIC + struct.pack("<II", ALL_LOCKS, 0) + old


def read_state(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if len(data) != 16 + FLASH_SIZE or data[:8] != STATE_MAGIC:
        return None
    locks, gpnvm = struct.unpack("<II", data[8:16])
    return {"locks": locks, "gpnvm": gpnvm, "flash": data[16:]}


WIRE_RE = re.compile(r"^(host|dev) (\d+) (\d+) (.*?)((?: \([^()]*\))*)$")


def read_wire_log(path):
    """Host frames by index: {k: (text, notes)}."""
    frames = {}
    try:
        with open(path, "r", encoding="latin-1") as f:
            lines = f.read().splitlines()
    except OSError:
        return frames
    for line in lines:
        m = WIRE_RE.match(line)
        if not m or m.group(1) != "host":
            continue
        k = int(m.group(3))
        text, notes = frames.get(k, ("", ""))
        note = m.group(5)
        corrupt = CORRUPT_NOTE.search(line)
        if corrupt and corrupt.group(0) not in note:
            # However the line was split, the corruption note belongs to frame k.
            note += " " + corrupt.group(0)
        frames[k] = (text + m.group(4), notes + note)
    return frames


def unescape(text):
    """Undoes the wire log's escapes; a summarised data run stays as its summary."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "n":
                out += b"\n"; i += 2; continue
            if n == "r":
                out += b"\r"; i += 2; continue
            if n == "\\":
                out += b"\\"; i += 2; continue
            if n == "x" and i + 3 < len(text):
                out.append(int(text[i + 2:i + 4], 16)); i += 4; continue
        out += c.encode("latin-1")
        i += 1
    return bytes(out)


FRAME_FORMS = [
    re.compile(rb"^[WSR][0-9A-F]{8},[0-9A-F]{8}#"),
    re.compile(rb"^H[0-9A-F]{8},[0-9A-F]{4}#$"),
    re.compile(rb"^O[0-9A-F]{8},[0-9A-F]{2}#$"),
    re.compile(rb"^[wo][0-9A-F]{8},4#$"),
    re.compile(rb"^G[0-9A-F]{8}#$"),
    re.compile(rb"^(N#|T#|V#\n|#\n)$"),
]

CORRUPT_NOTE = re.compile(r"\(byte (\d+) xor ([0-9A-F]{2}) on the way in\)")


def corrupted_frame_still_valid(frame):
    """True when the corrupted request is still a well-formed frame (another
    address or value, or other data bytes of an S frame)."""
    if frame is None:
        return False
    text, notes = frame
    m = CORRUPT_NOTE.search(notes)
    if not m:
        return False
    offset, mask = int(m.group(1)), int(m.group(2), 16)
    raw = bytearray(unescape(text))
    if raw[:1] == b"S" and offset >= 19:
        return True  # a data byte: any value is valid data
    if offset >= len(raw):
        return False
    raw[offset] ^= mask
    return any(form.match(bytes(raw)) for form in FRAME_FORMS)


# --------------------------------------------------------------------------
# One run.

class Setup:
    def __init__(self, tool, sim, timeout, image, keep, sim_args=()):
        self.tool = tool
        self.sim = sim
        self.timeout = timeout
        self.image = image
        self.keep = keep
        self.sim_args = list(sim_args)  # given to every simulator of the matrix
        self.state = initial_state()
        # Every run's folder lives in one folder of this invocation, so a
        # clean-up never touches another invocation's runs.
        self.root = tempfile.mkdtemp(prefix="quillmere-faults-")


def start_sim(setup, work, sim_args, port=1):
    ports = os.path.join(work, "ports")
    args = [setup.sim, "--port-dir", ports, "--port", str(port),
            "--state-in", os.path.join(work, "state-in"), "--state-out", os.path.join(work, "state-out"),
            "--wire-log", os.path.join(work, "wire.log"), "--log", os.path.join(work, "sim.log"),
            "--summary", os.path.join(work, "summary"), "--timeout", str(setup.timeout + 60)] + sim_args
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=open(os.path.join(work, "sim.err"), "wb"),
                            stdin=subprocess.DEVNULL)
    line = proc.stdout.readline().decode("latin-1")
    if not line.startswith("ready"):
        proc.kill()
        proc.wait()
        raise RuntimeError("the simulator did not start: %r (%s)" % (line, " ".join(args)))
    return proc, ports


def stop_sim(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def run_tool(setup, work, ports, answers="y\n", on_question=None):
    """Runs the tool in work; returns (status, stdout, stderr, seconds).
    status is the exit code, or None after a hang (the tool was killed)."""
    env = dict(os.environ)
    env["QUILLMERE_PORT_DIR"] = ports
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    start = time.monotonic()
    proc = subprocess.Popen([setup.tool], cwd=work, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err_chunks = []

    def pump_stderr():
        asked = False
        while True:
            chunk = proc.stderr.read1(4096) if hasattr(proc.stderr, "read1") else proc.stderr.read(4096)
            if not chunk:
                return
            err_chunks.append(chunk)
            if not asked and b"[y/n" in b"".join(err_chunks):
                asked = True
                if on_question:
                    on_question()
                try:
                    proc.stdin.write(answers.encode())
                    proc.stdin.close()
                except OSError:
                    pass

    out_chunks = []
    t_err = threading.Thread(target=pump_stderr, daemon=True)
    t_out = threading.Thread(target=lambda: out_chunks.append(proc.stdout.read()), daemon=True)
    t_err.start()
    t_out.start()
    try:
        status = proc.wait(timeout=setup.timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        status = None
    t_out.join(5)
    t_err.join(5)
    try:
        proc.stdin.close()
    except OSError:
        pass
    seconds = time.monotonic() - start
    return status, b"".join(out_chunks), b"".join(err_chunks), seconds


def prepare_work(setup, image=None, job=b"image.bin"):
    work = tempfile.mkdtemp(prefix="run-", dir=setup.root)
    with open(os.path.join(work, "state-in"), "wb") as f:
        f.write(setup.state)
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(setup.image if image is None else image)
    if job is not None:
        with open(os.path.join(work, "f_write.txt"), "wb") as f:
            f.write(job)
    return work


def one_run(setup, kind, k, extra_args=None, answers="y\n", image=None):
    work = prepare_work(setup, image)
    sim_args = setup.sim_args + list(extra_args or [])
    if kind:
        sim_args += ["--" + kind, str(k)]
    sim, ports = start_sim(setup, work, sim_args)
    try:
        status, out, err, seconds = run_tool(setup, work, ports, answers)
    finally:
        stop_sim(sim)
    result = {
        "kind": kind, "k": k, "status": status, "stdout": out.decode("latin-1"),
        "stderr": err.decode("utf-8", "replace"), "seconds": round(seconds, 2),
        "state": read_state(os.path.join(work, "state-out")),
        "frames": read_wire_log(os.path.join(work, "wire.log")),
        "work": work,
    }
    return result


# --------------------------------------------------------------------------
# Checking a run.

def boxes_of(stderr):
    """[(caption, text)] in the order shown."""
    found = list(BOX_RE.finditer(stderr))
    boxes = []
    for i, m in enumerate(found):
        end = found[i + 1].start() if i + 1 < len(found) else len(stderr)
        boxes.append((m.group(1), stderr[m.end():end].split("\n")[0]))
    return boxes


def stage_at(stdout, position):
    """The last stage heading printed before position (the longer of two that
    start at the same place: the question's heading holds the upload's)."""
    best, best_at = None, -1
    for heading in stage_headings():
        at = stdout.rfind(heading, 0, position)
        if at > best_at or (at == best_at and at >= 0 and len(heading) > len(best)):
            best, best_at = heading, at
    return best


def expected_notices(form, stage, code):
    """The boxes the tool's list gives for failure line form printed after the
    stage heading, with code (None for a line without one): an empty set when
    the list has no such outcome."""
    candidates = [o for o in OUTCOMES if o["line"] == form]
    if len({o["after"] for o in candidates}) > 1:
        candidates = [o for o in candidates if o["after"] == stage]
    if code is not None:
        candidates = [o for o in candidates if has_code(o, int(code))]
    return {o["notice"] for o in candidates}


def search_notices():
    """The boxes a search that found no instrument ends with."""
    return {o["notice"] for o in OUTCOMES if o["after"] == SEARCH_HEADING and o["line"] == ""}


def check(setup, run, initial):
    """Returns (outcome, [breaches]). outcome: success, the final notice's
    caption, 'no notice', 'hang' or 'crash'."""
    problems = []
    if run["status"] is None:
        return "hang", ["still running after %d s" % setup.timeout]
    err = run["stderr"]
    if run["status"] != 0 or any(mark in err for mark in SANITIZER_MARKS):
        return "crash", ["exit status %s%s" % (run["status"], "; sanitizer report" if any(
            mark in err for mark in SANITIZER_MARKS) else "")]
    out = run["stdout"]
    if any(not (0x20 <= ord(c) <= 0x7E or c in "\n\r\t") for c in out):
        problems.append("console holds bytes outside printable ASCII")

    boxes = boxes_of(err)
    notices = [b for b in boxes if b[0] != " Attention "]
    asked = any(b[0] == " Attention " for b in boxes)
    state = run["state"]
    if state is None:
        problems.append("no state file from the simulator")
        return "no state", problems
    image = padded(setup.image if run.get("image") is None else run["image"])
    flash_ok = state["flash"][:len(image)] == image and state["flash"][len(image):] == b"\xFF" * (
        FLASH_SIZE - len(image))
    locks_ok = state["locks"] == ALL_LOCKS
    gpnvm2 = bool(state["gpnvm"] & GPNVM2)
    verify_ok = re.search(r" 8\. Compare \.\.\.* OK \n", out) is not None

    success = bool(notices) and notices[-1][0] == "QUILLMERE" and DONE_TEXT in notices[-1][1]
    if len(notices) != 1:
        problems.append("%d notices shown: %s" % (len(notices), [c for c, _ in notices]))
    if success:
        if not flash_ok:
            problems.append("success notice, but the flash is not the zero-padded image")
        if run["kind"] in DEVICE_SIDE and not (locks_ok and gpnvm2):
            problems.append("success notice, but locks %08X GPNVM %X" % (state["locks"], state["gpnvm"]))
        if not verify_ok:
            problems.append("success notice without the verify pass's OK")
    if asked and gpnvm2 and not (initial["gpnvm"] & GPNVM2) and not verify_ok:
        problems.append("GPNVM2 set after Yes without a verify pass that compared every chunk equal")
    if not asked:
        if (state["flash"] != initial["flash"] or state["locks"] != initial["locks"]
                or state["gpnvm"] != initial["gpnvm"]):
            problems.append("flash, lock or GPNVM bits changed before the operator's Yes")

    if not success:
        failures = []
        for form, regex in FAILURE_FORMS:
            for m in regex.finditer(out):
                failures.append((m.start(), m.end(), form, m.group(1) if m.groups() else None))
        # A line inside a longer one (" error N c " inside "Test version error
        # N c") belongs to the longer one.
        failures = [f for f in failures if not any(
            g is not f and g[0] <= f[0] and f[1] <= g[1] and g[1] - g[0] > f[1] - f[0] for g in failures)]
        search_failed = re.search(r"2\. Search Device \.\.\. \n    (\.\d+\.)* \n \n \n$", out) is not None
        if search_failed:
            if failures:
                problems.append("search failure with a failure line")
            if not notices or notices[-1][0] not in search_notices():
                problems.append("search failure ended with %s" % (notices[-1][0] if notices else "no notice"))
        elif len(failures) != 1:
            problems.append("%d failure lines" % len(failures))
        else:
            at, end, form, code = failures[0]
            stage = stage_at(out, at)
            wants = expected_notices(form, stage, code)
            if not wants:
                problems.append("failure %r%s after %r is none of the tool's outcomes" % (
                    form, "" if code is None else " with code %s" % code, stage))
            elif not notices or notices[-1][0] not in wants:
                problems.append("failure %r after %r ended with %s, expected %s" % (
                    form, stage, notices[-1][0] if notices else "no notice", " or ".join(sorted(wants))))
            if end != len(out):
                problems.append("console goes on after the failure line: %r" % out[end:end + 80])
    outcome = "success" if success else (notices[-1][0] if notices else "no notice")
    return outcome, problems


# --------------------------------------------------------------------------
# The matrix.

def plan(frames, mode, stride, every_kind, kinds=KINDS):
    runs = []
    for kind in kinds:
        step = 1 if mode == "full" or kind == every_kind else stride
        for k in range(0, frames, step):
            runs.append((kind, k))
        if step > 1 and (frames - 1) % step:
            runs.append((kind, frames - 1))
    return runs


def classify(setup, run, initial):
    outcome, problems = check(setup, run, initial)
    turned = False
    if run["kind"] == "corrupt-request":
        turned = corrupted_frame_still_valid(run["frames"].get(run["k"]))
    verdict = "ok"
    if outcome in ("hang", "crash"):
        verdict = outcome
    elif problems:
        verdict = "limit" if turned else "breach"
    # A success whose lock bits or GPNVM bits are not what the tool asked for
    # can only come from a request changed on its way in (see the README).
    st = run["state"]
    off_target = outcome == "success" and st is not None and (st["locks"] != ALL_LOCKS or not st["gpnvm"] & GPNVM2)
    return {"kind": run["kind"], "k": run["k"], "outcome": outcome, "problems": problems,
            "turned": turned, "verdict": verdict, "seconds": run["seconds"], "off_target": off_target,
            "frame": run["frames"].get(run["k"], ("", ""))[0][:40] if run["kind"] else "",
            "work": run["work"]}


def print_table(rows, frames, started, title):
    outcomes = {}
    for r in rows:
        outcomes[r["outcome"]] = outcomes.get(r["outcome"], 0) + 1
    hangs = sum(r["verdict"] == "hang" for r in rows)
    crashes = sum(r["verdict"] == "crash" for r in rows)
    breaches = sum(r["verdict"] == "breach" for r in rows)
    turned = [r for r in rows if r["turned"]]
    limit = [r for r in rows if r["verdict"] == "limit"]
    print("\n%s (%s, %d frames in the clean run, %.0f s)" % (title, datetime.date.today().isoformat(),
                                                             frames, time.monotonic() - started))
    print("  %-30s %6s" % ("faults tried", len(rows)))
    for kind in KINDS:
        n = sum(r["kind"] == kind for r in rows)
        if n:
            print("    %-28s %6d" % (kind, n))
    print("  %-30s %6d" % ("ended in the success notice", outcomes.get("success", 0)))
    for name in sorted(o for o in outcomes if o != "success"):
        print("  %-30s %6d" % ("ended in [%s]" % name, outcomes[name]))
    print("  %-30s %6d" % ("hangs", hangs))
    print("  %-30s %6d" % ("crashes", crashes))
    print("  %-30s %6d" % ("invariant breaches", breaches))
    print("  %-30s %6d" % ("corrupted request still valid", len(turned)))
    print("  %-30s %6d" % ("  of which broke an invariant", len(limit)))
    print("  %-30s %6d" % ("success, locks/GPNVM not set", sum(r["off_target"] for r in rows)))
    longest = max((r["seconds"] for r in rows), default=0)
    print("  %-30s %6.1f s" % ("longest run", longest))
    for r in rows:
        if r["off_target"]:
            print("  note: %s at frame %d %r -> success with a lock region or GPNVM bit other than asked"
                  % (r["kind"], r["k"], r["frame"]))
        if r["verdict"] != "ok":
            print("  %s: %s at frame %d %r -> %s: %s (%s)" % (r["verdict"].upper(), r["kind"], r["k"], r["frame"],
                                                          r["outcome"], "; ".join(r["problems"]), r["work"]))
    return hangs + crashes + breaches


def matrix(setup, args):
    started = time.monotonic()
    initial = read_state_bytes(setup.state)
    clean = one_run(setup, None, None)
    row = classify(setup, clean, initial)
    frames = max(clean["frames"]) + 1 if clean["frames"] else 0
    if row["outcome"] != "success" or row["problems"] or frames == 0:
        print("the clean run did not succeed: %s %s\n%s\n%s" % (row["outcome"], row["problems"],
                                                                   clean["stdout"], clean["stderr"]))
        return 1
    print("clean run: %d frames, %.1f s, success" % (frames, clean["seconds"]))
    cleanup(setup, clean)
    runs = plan(frames, args.mode, args.stride, args.every, args.kinds.split(","))
    if args.limit:
        runs = runs[:args.limit]
    rows = []
    done = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(one_run, setup, kind, k) for kind, k in runs]
        for future in concurrent.futures.as_completed(futures):
            run = future.result()
            r = classify(setup, run, initial)
            rows.append(r)
            if r["verdict"] == "ok":
                cleanup(setup, run)
            done += 1
            if args.progress and done % 50 == 0:
                print("  %d/%d runs" % (done, len(runs)), flush=True)
    rows.sort(key=lambda r: (KINDS.index(r["kind"]), r["k"]))
    bad = print_table(rows, frames, started, "Fault matrix, %s mode" % args.mode)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": datetime.date.today().isoformat(), "mode": args.mode, "frames": frames,
                       "rows": [{k: v for k, v in r.items() if k != "work"} for r in rows]}, f, indent=1)
    return 1 if bad else 0


def read_state_bytes(data):
    locks, gpnvm = struct.unpack("<II", data[8:16])
    return {"locks": locks, "gpnvm": gpnvm, "flash": data[16:]}


def cleanup(setup, run):
    if not setup.keep:
        shutil.rmtree(run["work"], ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--outcomes", required=True, help="the program that prints the tool's list of outcomes")
    parser.add_argument("--full", dest="mode", action="store_const", const="full", default="sample")
    parser.add_argument("--every", default="close-at", choices=KINDS + ["none"],
                        help="fault kind injected at every frame in sampled mode")
    parser.add_argument("--monitor-version", help="version text of the simulated boot monitor (e.g. a v2 text)")
    parser.add_argument("--kinds", default=",".join(KINDS), help="comma-separated fault kinds to inject")
    parser.add_argument("--stride", type=int, default=29, help="frame stride of the other kinds when sampling")
    # Most of a run is waiting on the line, so twice the cores keeps them busy.
    parser.add_argument("--jobs", type=int, default=2 * (os.cpu_count() or 1))
    parser.add_argument("--timeout", type=int, default=60, help="seconds after which a run counts as a hang")
    parser.add_argument("--image-size", type=int, default=30000)
    parser.add_argument("--limit", type=int, default=0, help="run only the first N faults (debugging)")
    parser.add_argument("--no-matrix", action="store_true", help="only the 'also tried' cases")
    parser.add_argument("--no-cases", action="store_true", help="skip the 'also tried' cases")
    parser.add_argument("--keep", action="store_true", help="keep every run's directory")
    parser.add_argument("--json", help="write every run's verdict to this file")
    parser.add_argument("--progress", action="store_true")
    args = parser.parse_args()
    load_outcomes(os.path.abspath(args.outcomes))
    setup = Setup(os.path.abspath(args.tool), os.path.abspath(args.sim), args.timeout,
                  make_image(args.image_size), args.keep,
                  ["--version", args.monitor_version] if args.monitor_version else [])
    status = 0
    if not args.no_matrix:
        status |= matrix(setup, args)
    if not args.no_cases:
        import cases
        status |= cases.run_all(setup, args)
    if status == 0 and not args.keep:
        shutil.rmtree(setup.root, ignore_errors=True)
    else:
        print("run folders kept in %s" % setup.root)
    return status


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
