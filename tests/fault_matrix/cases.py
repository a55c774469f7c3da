"""End-to-end cases beside the matrix: bad job files and images, ports held or
decoyed, and devices that misbehave in ways the simulator's faults do not
cover. Each case runs the real tool as a process and states what must hold;
all of them must also end by themselves with exit code 0 and no sanitizer
report."""
import fcntl
import os
import pty
import re
import shutil
import stat
import struct
import termios
import threading
import time
import tty

import fault_matrix as fm

SIZE_LINE = re.compile(r" error image size = (\d+) \n")


class Result:
    def __init__(self, name):
        self.name = name
        self.problems = []
        self.outcome = ""
        self.seconds = 0.0

    def need(self, condition, text):
        if not condition:
            self.problems.append(text)


def finish(result, status, out, err, seconds):
    """Common checks; returns the boxes shown."""
    result.seconds = seconds
    if status is None:
        result.problems.append("hang")
        result.outcome = "hang"
        return []
    if status != 0 or any(mark in err for mark in fm.SANITIZER_MARKS):
        result.problems.append("exit status %s or sanitizer report" % status)
        result.outcome = "crash"
        return []
    boxes = fm.boxes_of(err)
    notices = [b for b in boxes if b[0] != " Attention "]
    result.outcome = notices[-1][0] if notices else ("no notice" if boxes else "no box")
    if notices and notices[-1][0] == "QUILLMERE" and fm.DONE_TEXT in notices[-1][1]:
        result.outcome = "success"
    return boxes


def sim_case(setup, name, job=b"image.bin", image=None, answers="y\n", sim_args=None, port=1,
             on_question=None, before=None):
    """Runs the tool against the simulator; returns (result, out, boxes, state, frames, work)."""
    result = Result(name)
    work = fm.prepare_work(setup, image=image, job=job)
    if before:
        before(work)
    sim, ports = fm.start_sim(setup, work, list(sim_args or []), port=port)
    try:
        status, out, err, seconds = fm.run_tool(setup, work, ports, answers,
                                                on_question=(lambda: on_question(work)) if on_question else None)
    finally:
        fm.stop_sim(sim)
    out = out.decode("latin-1")
    err = err.decode("utf-8", "replace")
    boxes = finish(result, status, out, err, seconds)
    state = fm.read_state(os.path.join(work, "state-out"))
    frames = fm.read_wire_log(os.path.join(work, "wire.log"))
    return result, out, boxes, state, frames, work


def untouched(state, setup):
    initial = fm.read_state_bytes(setup.state)
    return state is not None and state["flash"] == initial["flash"] and state["locks"] == initial["locks"] \
        and state["gpnvm"] == initial["gpnvm"]


def programmed(state, image):
    want = fm.padded(image)
    return (state is not None and state["flash"][:len(want)] == want
            and state["flash"][len(want):] == b"\xFF" * (fm.FLASH_SIZE - len(want))
            and state["locks"] == fm.ALL_LOCKS and state["gpnvm"] & fm.GPNVM2)


# --------------------------------------------------------------------------
# Job files and images.

def case_refused_before_port(setup, name, job, notice, image=None, make=None, size_line=None):
    def prepare(work):
        if make:
            make(work)
    r, out, boxes, state, frames, _ = sim_case(setup, name, job=job, image=image, before=prepare)
    r.need(r.outcome == notice, "ended with %s, expected %s" % (r.outcome, notice))
    r.need(not frames, "%d frames reached the device" % len(frames))
    r.need(untouched(state, setup), "device state changed")
    m = SIZE_LINE.search(out)
    if size_line is None:
        r.need(m is None, "unexpected size line %r" % (m.group(0) if m else ""))
    else:
        r.need(m is not None and int(m.group(1)) == size_line, "size line missing or wrong: %r" % out[-80:])
    return r


def case_name_accepted(setup, name, job_name):
    """A name that must be opened as it stands; the run goes on to the first
    question, which is answered Cancel."""
    image = fm.make_image(1000, seed=11)

    def prepare(work):
        with open(os.path.join(work.encode(), job_name), "wb") as f:
            f.write(image)
        os.remove(os.path.join(work, "image.bin"))

    r, out, boxes, state, frames, _ = sim_case(setup, name, job=job_name, answers="c\n", before=prepare)
    r.need(any(b[0] == " Attention " for b in boxes), "the first question was not asked")
    r.need(not [b for b in boxes if b[0] != " Attention "], "a notice after Cancel")
    shown = out.encode("latin-1")
    r.need(b"   New program : " + job_name + b" \n" in shown, "the name is not printed verbatim")
    r.need(untouched(state, setup), "device state changed after Cancel")
    return r


def case_full_run(setup, name, image, on_question=None, sim_args=None, expect_version=None):
    r, out, boxes, state, frames, _ = sim_case(setup, name, image=image, on_question=on_question,
                                               sim_args=sim_args)
    r.need(r.outcome == "success", "ended with %s" % r.outcome)
    r.need(programmed(state, image), "flash, locks or GPNVM2 not as programmed")
    if expect_version is not None:
        r.need("Chip ver : " + expect_version + " \n" in out, "version text not printed as sent: %r" % (
            out[out.find("Chip ver"):out.find("Chip ver") + 70]))
    return r


def image_cases(setup, args):
    results = []
    for size in (0, 1, 0x5400):
        results.append(case_full_run(setup, "image of %d bytes" % size, fm.make_image(size, seed=size)))
    results.append(case_full_run(setup, "image of 516,096 bytes", fm.make_image(24 * 0x5400, seed=5)))
    results.append(case_refused_before_port(setup, "image of 516,097 bytes", b"image.bin", "Error 3",
                                            image=bytes(24 * 0x5400 + 1), size_line=24 * 0x5400 + 1))

    def vanish(work):
        os.remove(os.path.join(work, "image.bin"))

    def lock_out(work):
        os.chmod(os.path.join(work, "image.bin"), 0)

    # The image stays open from its opening to the end of the run: removing it
    # or taking its permissions away at the first question changes nothing.
    results.append(case_full_run(setup, "image removed at the question", setup.image, on_question=vanish))
    results.append(case_full_run(setup, "image made unreadable at the question", setup.image,
                                 on_question=lock_out))
    return results


def job_cases(setup):
    results = []
    results.append(case_refused_before_port(setup, "no job file", None, "Error 1"))
    results.append(case_refused_before_port(setup, "job name followed by LF", b"image.bin\n", "Error 2"))
    results.append(case_refused_before_port(setup, "job name followed by CR LF", b"image.bin\r\n", "Error 2"))
    results.append(case_refused_before_port(setup, "job name of 100 bytes", b"n" * 100, "Error 2"))
    results.append(case_refused_before_port(setup, "job name with a lone CR", b"image.bin\r", "Error 3"))
    results.append(case_refused_before_port(setup, "empty job file", b"", "Error 3"))
    results.append(case_refused_before_port(setup, "image name is a directory", b"imgdir", "Error 3",
                                            make=lambda w: os.mkdir(os.path.join(w, "imgdir"))))
    results.append(case_refused_before_port(setup, "image missing", b"missing.bin", "Error 3"))
    if os.geteuid() != 0:
        results.append(case_refused_before_port(
            setup, "image unreadable", b"image.bin", "Error 3",
            make=lambda w: os.chmod(os.path.join(w, "image.bin"), 0)))
    results.append(case_name_accepted(setup, "name with spaces", b"my new image.bin"))
    results.append(case_name_accepted(setup, "name with non-ASCII bytes", "прошивка.bin".encode("utf-8")))
    results.append(case_name_accepted(setup, "name with a percent sign", b"%s%n%x.bin"))
    results.append(case_name_accepted(setup, "name of 99 bytes", b"n" * 95 + b".bin"))
    return results


# --------------------------------------------------------------------------
# Ports.

def case_held_decoy(setup):
    """A port held by another program before the device: skipped silently."""
    r, out, boxes, state, frames, _ = sim_case(setup, "held port before the device", answers="c\n",
                                               sim_args=["--decoy", "held:1"], port=2)
    r.need("\n    .2. \n" in out, "marks not '.2.': %r" % out[out.find("Search"):out.find("Search") + 40])
    r.need(any(b[0] == " Attention " for b in boxes), "the device was not reached")
    return r


def case_device_port_held(setup):
    """The instrument's own port held by another program: not found."""
    holder = {}

    def hold(work):
        pass

    result = Result("device's own port held")
    work = fm.prepare_work(setup)
    sim, ports = fm.start_sim(setup, work, [], port=1)
    fd = os.open(os.path.join(ports, "COM1"), os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.ioctl(fd, termios.TIOCEXCL)
        status, out, err, seconds = fm.run_tool(setup, work, ports)
    finally:
        try:
            fcntl.ioctl(fd, termios.TIOCNXCL)
        except OSError:
            pass
        os.close(fd)
        fm.stop_sim(sim)
    out = out.decode("latin-1")
    finish(result, status, out, err.decode("utf-8", "replace"), seconds)
    result.need(result.outcome == "Error 4", "ended with %s, expected Error 4" % result.outcome)
    result.need(not fm.read_wire_log(os.path.join(work, "wire.log")), "frames reached the held device")
    del holder, hold
    return result


def case_decoys(setup):
    results = []
    decoys = []
    for n in range(1, 98):
        decoys += ["--decoy", ("crlf:%d" if n % 3 == 0 else "silent:%d") % n]
    r, out, boxes, state, frames, _ = sim_case(setup, "97 decoy ports, device on COM98", answers="c\n",
                                               sim_args=decoys, port=98)
    r.need(any(b[0] == " Attention " for b in boxes), "the device on COM98 was not reached")
    r.need(out.count(".") >= 97 * 2, "not every decoy was probed")
    results.append(r)
    r, out, boxes, state, frames, _ = sim_case(setup, "98 decoy ports, no device", answers="c\n",
                                               sim_args=decoys + ["--decoy", "crlf:98"], port=99)
    r.need(r.outcome == "Error 5", "ended with %s, expected Error 5 (wrong reply on COM98)" % r.outcome)
    r.need(not frames, "the device beyond COM98 was probed")
    results.append(r)
    return results


# --------------------------------------------------------------------------
# A device played from here on a pseudo-terminal.

class FakeDevice:
    """Answers the probe, then plays `after` on every later byte it receives."""

    def __init__(self, ports, after):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.slave_path = os.ttyname(slave)
        self.slave = slave  # kept open, so the tool's close does not hang the line up
        os.makedirs(ports, exist_ok=True)
        os.symlink(self.slave_path, os.path.join(ports, "COM1"))
        self.after = after
        self.stop = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        import select
        received = b""
        probed = False
        os.set_blocking(self.master, False)
        while not self.stop:
            readable, writable, _ = select.select([self.master], [self.master] if probed and self.after.endless
                                                  else [], [], 0.05)
            if readable:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    data = b""
                received += data
                if not probed and b"N#" in received:
                    probed = True
                    os.write(self.master, b"\n\r")
                    received = b""
                elif probed:
                    reply, received = self.after.answer(received)
                    if reply:
                        try:
                            os.write(self.master, reply)
                        except OSError:
                            pass
            if writable:
                try:
                    os.write(self.master, b"\n\r>" * 64)
                except OSError:
                    pass

    def close(self):
        self.stop = True
        self.thread.join(2)
        os.close(self.master)
        os.close(self.slave)


class Endless:
    endless = True

    def answer(self, received):
        return b"", b""


def case_endless_stream(setup):
    """Answers the probe, then sends prompt-like bytes without end."""
    result = Result("device streams without end after the probe")
    work = fm.prepare_work(setup)
    ports = os.path.join(work, "ports")
    device = FakeDevice(ports, Endless())
    try:
        status, out, err, seconds = fm.run_tool(setup, work, ports)
    finally:
        device.close()
    out = out.decode("latin-1")
    finish(result, status, out, err.decode("utf-8", "replace"), seconds)
    result.need(result.outcome in ("Error 5", "Error 7", "Error 11"), "ended with %s" % result.outcome)
    result.need(all(0x20 <= ord(c) <= 0x7E or c in "\n\r\t" for c in out), "console holds control bytes")
    return result


def run_all(setup, args):
    started = time.monotonic()
    results = []
    results += job_cases(setup)
    results += image_cases(setup, args)
    results.append(case_held_decoy(setup))
    results.append(case_device_port_held(setup))
    results += case_decoys(setup)
    results.append(case_endless_stream(setup))
    # 38 bytes of text after the monitor's "\n\r": the 40 bytes read hold no terminator.
    text = "v1.4 " + "x" * 33
    results.append(case_full_run(setup, "version text of 40 bytes without terminator", setup.image,
                                 sim_args=["--version", text], expect_version="\n\r" + text))
    print("\nAlso tried (%.0f s)" % (time.monotonic() - started))
    failed = 0
    for r in results:
        print("  %-48s %-10s %5.1f s  %s" % (r.name, r.outcome, r.seconds,
                                            "ok" if not r.problems else "FAILED: " + "; ".join(r.problems)))
        failed += bool(r.problems)
    print("  %d cases, %d failed" % (len(results), failed))
    return 1 if failed else 0
