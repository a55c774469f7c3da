"""Runs the real tool against the simulated instrument, each in its own scratch folder.

Sim starts quillmere-sim on a pseudo-terminal in a port directory and reads
back what it recorded (state file, wire log, summary); run_tool runs the tool
as the operator would, with f_write.txt in its working directory and the
operator's answers on standard input.
"""
import os
import re
import resource
import select
import signal
import subprocess
import time
import zlib

STATE_FLASH_BYTES = 0x80000


class ToolResult:
    def __init__(self, stdout, stderr, returncode, wall, cpu):
        self.stdout = stdout        # console, str (latin-1, so every byte survives)
        self.stderr = stderr        # boxes, str (UTF-8)
        self.returncode = returncode
        self.wall = wall            # seconds
        self.cpu = cpu              # seconds of user + system time of the tool

    def boxes(self):
        """The boxes shown, in order, as (caption, text) pairs."""
        return [(m.group(1), m.group(2)) for m in _BOX.finditer(self.stderr)]


_BOX = re.compile(r"\[(Error \d+|QUILLMERE| Attention )\] (.*?)(?: \[y/n/c\]\? | \[y/n\]\? |\n|$)")


def tool_env(port_dir):
    env = dict(os.environ)
    env["QUILLMERE_PORT_DIR"] = port_dir
    env["LC_ALL"] = "C.UTF-8"   # boxes in UTF-8
    return env


def run_tool(tool, workdir, port_dir, answers=None, timeout=120):
    """Runs the tool once in workdir; answers is the operator's input (None: none)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    proc = subprocess.run([tool], cwd=workdir, env=tool_env(port_dir),
                          input=(answers or "").encode(), capture_output=True, timeout=timeout)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return ToolResult(proc.stdout.decode("latin-1"), proc.stderr.decode("utf-8", "replace"),
                      proc.returncode, wall, cpu)


def write_job(workdir, content):
    """f_write.txt with exactly these bytes."""
    with open(os.path.join(workdir, "f_write.txt"), "wb") as f:
        f.write(content)


def write_image(workdir, name, data):
    with open(os.path.join(workdir, name), "wb") as f:
        f.write(data)


def pattern(size, seed=1):
    """Reproducible pseudo-random bytes (a 32-bit xorshift stream)."""
    out = bytearray(size)
    x = seed or 1
    for i in range(size):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


class State:
    """The simulator's state file: a magic, lock bits u32, GPNVM bits u32, 512 KiB flash."""

    def __init__(self, raw):
        head = len(raw) - STATE_FLASH_BYTES - 8
        if head < 0:
            raise ValueError("state file of %d bytes is too short" % len(raw))
        self.raw = raw
        self.magic = raw[:head]
        self.lock_bits = int.from_bytes(raw[head:head + 4], "little")
        self.gpnvm_bits = int.from_bytes(raw[head + 4:head + 8], "little")
        self.flash = raw[head + 8:]

    def with_content(self, flash=None, lock_bits=None, gpnvm_bits=None):
        """The same file format holding other content."""
        flash = self.flash if flash is None else flash
        assert len(flash) == STATE_FLASH_BYTES
        return (self.magic
                + (self.lock_bits if lock_bits is None else lock_bits).to_bytes(4, "little")
                + (self.gpnvm_bits if gpnvm_bits is None else gpnvm_bits).to_bytes(4, "little")
                + flash)


class Sim:
    """One quillmere-sim process; its files go to workdir, its port link to port_dir."""

    def __init__(self, sim, workdir, port=1, args=(), state_in=None, exit_after_close=True,
                 port_dir=None):
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.port_dir = port_dir or os.path.join(workdir, "ports")
        os.makedirs(self.port_dir, exist_ok=True)
        self.wire_log = os.path.join(workdir, "wire.log")
        self.summary_file = os.path.join(workdir, "summary.txt")
        self.state_out = os.path.join(workdir, "state-out.bin")
        self.log_file = os.path.join(workdir, "sim.log")
        cmd = [sim, "--port-dir", self.port_dir, "--port", str(port),
               "--wire-log", self.wire_log, "--summary", self.summary_file,
               "--state-out", self.state_out, "--log", self.log_file, "--timeout", "300"]
        if exit_after_close:
            cmd.append("--exit-after-close")
        if state_in is not None:
            path = os.path.join(workdir, "state-in.bin")
            with open(path, "wb") as f:
                f.write(state_in)
            cmd += ["--state-in", path]
        cmd += list(args)
        self.cmd = cmd
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._wait_ready()

    def _wait_ready(self, timeout=10):
        deadline = time.monotonic() + timeout
        line = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if ready:
                byte = os.read(self.proc.stdout.fileno(), 1)
                if not byte:
                    break
                line += byte
                if byte == b"\n":
                    if line.startswith(b"ready "):
                        return
                    line = b""
        self.proc.kill()
        self.proc.wait()
        raise RuntimeError("simulator did not get ready: %s (%s)" % (" ".join(self.cmd), self.log()))

    def stop(self, grace=10.0):
        """Lets the simulator end by itself within grace seconds, else asks it to."""
        if self.proc.poll() is None:
            try:
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop(grace=0 if exc[0] else 10.0)

    def state(self):
        with open(self.state_out, "rb") as f:
            return State(f.read())

    def summary(self):
        with open(self.summary_file, encoding="utf-8", errors="replace") as f:
            return f.read()

    def lost_bytes(self):
        m = re.search(r"lost\D*(\d+)", self.summary())
        if not m:
            raise ValueError("no lost-byte count in the summary:\n" + self.summary())
        return int(m.group(1))

    def log(self):
        try:
            with open(self.log_file, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def host_frames(self):
        """The frames the tool sent, in order, in the wire log's own form."""
        return [entry.data for entry in parse_wire_log(self.wire_log) if entry.to_device]

    def wire_bytes(self):
        """Bytes on the wire: (host to device, device to host)."""
        sent = received = 0
        for entry in parse_wire_log(self.wire_log):
            if entry.to_device:
                sent += entry.length
            else:
                received += entry.length
        return sent, received


# --- the wire log -------------------------------------------------------------
#
# One line per host frame and per device reply chunk:
#   host <ms> <frame> <bytes>[ <note>]      dev <ms> <frame> <bytes>[ <note>]
# Bytes are escaped (printable ASCII as it is, "\\" for a backslash, \n, \r,
# \xNN); runs of more than 64 bytes (an S frame's data, a long reply) are
# written "[<n> bytes crc32 <8 hex digits>]". An S frame's data follows its
# header directly.

INLINE_BYTES = 64
_TOKEN = re.compile(r"\[(\d+) bytes crc32 [0-9A-F]{8}\]|\\x[0-9A-F]{2}|\\.|.", re.S)


def escape(data):
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif b == 0x0A:
            out.append("\\n")
        elif b == 0x0D:
            out.append("\\r")
        elif 0x20 <= b <= 0x7E:
            out.append(chr(b))
        else:
            out.append("\\x%02X" % b)
    return "".join(out)


def describe(data):
    if len(data) <= INLINE_BYTES:
        return escape(data)
    return "[%d bytes crc32 %08X]" % (len(data), zlib.crc32(data) & 0xFFFFFFFF)


def frame_form(frame):
    """A host frame (bytes; an S frame with its data) as the wire log writes it."""
    if frame[:1] == b"S" and len(frame) >= 19:
        return escape(frame[:19]) + describe(frame[19:])
    return escape(frame)


class WireEntry:
    def __init__(self, to_device, ms, frame, data, note):
        self.to_device = to_device
        self.ms = ms
        self.frame = frame
        self.data = data          # the escaped form
        self.note = note

    @property
    def length(self):
        """Number of bytes the entry stands for."""
        return sum(int(m.group(1)) if m.group(1) else 1 for m in _TOKEN.finditer(self.data))


def logged_matches(frame, logged):
    """True when the logged text (escaped bytes and summarised runs, in any
    split) stands for exactly the bytes of frame."""
    pos = 0
    for m in _TOKEN.finditer(logged):
        token = m.group(0)
        if m.group(1):
            n = int(m.group(1))
            piece = frame[pos:pos + n]
            if len(piece) != n or describe(piece) != token:
                return False
            pos += n
            continue
        if pos >= len(frame) or escape(frame[pos:pos + 1]) != token:
            return False
        pos += 1
    return pos == len(frame)


def parse_wire_log(path):
    """The log's entries; lines that continue the same frame and direction
    (the simulator writes what it has whenever the line goes quiet) are joined."""
    entries = []
    pieces = []
    with open(path, encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            kind, ms, frame, rest = (line.split(" ", 3) + ["", "", ""])[:4]
            if kind not in ("host", "dev"):
                continue  # a note about the link ("usb ..."), not bytes on the wire
            note = ""
            m = re.search(r" (\([^()]*\))$", rest)
            if m:
                note, rest = m.group(1), rest[:m.start()]
            to_device = kind == "host"
            last = entries[-1] if entries else None
            if last and last.to_device == to_device and last.frame == int(frame) and not last.note:
                pieces[-1].append(rest)
                last.note = note
            else:
                entries.append(WireEntry(to_device, int(ms), int(frame), "", note))
                pieces.append([rest])
    for entry, parts in zip(entries, pieces):
        entry.data = "".join(parts)
    return entries
