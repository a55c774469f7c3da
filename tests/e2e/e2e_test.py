#!/usr/bin/env python3
"""End-to-end runs of the tool against the simulated instrument.

Every case runs the real tool as a process in a fresh scratch folder, with the
simulator on a pseudo-terminal in a port directory of its own, and checks the
console log exactly, the boxes shown, the exit code (always 0), the frames on
the wire and what ended up in the simulated flash.

    e2e_test.py --tool build/quillmere --sim build/quillmere-sim [--link usb|serial] [unittest args]

The simulated instrument is reached over its USB link (the default), or over
the debug serial unit with --link serial.

Set QUILLMERE_E2E_KEEP=1 to keep the scratch folders of the run.
"""
import argparse
import fcntl
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected as X  # noqa: E402
from harness import (Sim, State, frame_form, logged_matches, pattern, run_tool, write_image,
                     write_job)  # noqa: E402

TOOL = None
SIM = None
LINK_ARGS = []   # given to every simulator: ["--link", "serial"] for the debug serial unit

V1_TEXT = "v1.4 Nov 10 2006"
V2_TEXT = "v2.1 Mar 02 2009"
ERASED = 0xFF
GPNVM2 = 1 << 2
ALL_REGIONS = 0xFFFFFFFF

_template = None


def state_template():
    """A state file as the simulator writes it (for its magic), made once."""
    global _template
    if _template is None:
        work = tempfile.mkdtemp(prefix="quillmere-e2e-")
        try:
            sim = Sim(SIM, work, exit_after_close=False)
            sim.stop(grace=0)
            _template = sim.state()
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return _template


_old_program = None


def used_state(lock_bits=0x80000001, gpnvm_bits=0b001):
    """An instrument that already holds a program: flash content, some lock bits, GPNVM0."""
    global _old_program
    if _old_program is None:
        _old_program = pattern(X.FLASH_SIZE, seed=99)
    return State(state_template().with_content(flash=_old_program,
                                               lock_bits=lock_bits, gpnvm_bits=gpnvm_bits))


def first_difference(got, want):
    """None when equal, else a short description of where got departs from want."""
    if got == want:
        return None
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            return "byte %d (0x%X): %02X, expected %02X" % (i, i, g, w)
    return "length %d, expected %d" % (len(got), len(want))


class E2eCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quillmere-e2e-")
        self.sims = []
        self.port_dir = os.path.join(self.work, "ports")   # the newest simulator's

    def tearDown(self):
        for sim in self.sims:
            sim.stop(grace=0)
        if os.environ.get("QUILLMERE_E2E_KEEP") == "1":
            print("\nscratch folder kept: " + self.work, file=sys.stderr)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    # --- helpers --------------------------------------------------------------

    def sim(self, port=1, args=(), state_in=None, exit_after_close=True):
        files = os.path.join(self.work, "sim%d" % len(self.sims))
        self.port_dir = os.path.join(files, "ports")
        sim = Sim(SIM, files, port=port, args=LINK_ARGS + list(args), port_dir=self.port_dir,
                  state_in=None if state_in is None else state_in.raw,
                  exit_after_close=exit_after_close)
        self.sims.append(sim)
        return sim

    def job(self, name, image=None):
        """f_write.txt naming the image; the image is written when given."""
        write_job(self.work, name.encode("latin-1") if isinstance(name, str) else name)
        if image is not None:
            write_image(self.work, name, image)

    def run_tool(self, answers=None, port_dir=None, timeout=120):
        if port_dir is None:
            port_dir = self.port_dir
            os.makedirs(port_dir, exist_ok=True)
        result = run_tool(TOOL, self.work, port_dir, answers, timeout=timeout)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def assertConsole(self, result, expected_text):
        if result.stdout != expected_text:
            sim_log = self.sims[-1].log() if self.sims else ""
            self.fail("console differs\n--- console ---\n%r\n--- expected ---\n%r\n--- boxes ---\n%s"
                      "--- simulator log ---\n%s" % (result.stdout, expected_text, result.stderr, sim_log))

    def assertBoxes(self, result, boxes):
        self.assertEqual(result.boxes(), list(boxes), result.stderr)

    def assertFrames(self, sim, frames):
        """The frames the tool sent to the instrument's port, all and in order."""
        got = sim.host_frames()
        frames = list(frames)
        # The version query purges the transmit side right after "#\n"; the
        # purge may discard the frame before it leaves, and nothing answers it.
        if b"#\n" in frames and "#\\n" not in got:
            frames.remove(b"#\n")
        for i, (logged, frame) in enumerate(zip(got, frames)):
            self.assertTrue(logged_matches(frame, logged),
                            "frame %d: sent %s, expected %s" % (i, logged, frame_form(frame)))
        self.assertEqual(len(got), len(frames), "frames after the expected ones: %r" % got[len(frames):])

    def summary_figures(self, sim):
        return dict(line.split(": ", 1) for line in sim.summary().splitlines() if ": " in line)

    def assertUsbClean(self, sim, bus_reset=False):
        """On the USB link: nothing lost, dropped or left on the host, every request completed.
        After a bus reset the host's first tries may go unanswered until the device
        has enabled endpoint 0 again (while an applet runs nobody serves the port);
        otherwise every transaction is answered."""
        summary = sim.summary()
        if "link: usb" not in summary:
            return
        figures = dict(line.split(": ", 1) for line in summary.splitlines() if ": " in line)
        keys = ["usb_lost_events", "usb_repeats_dropped", "usb_missing_zlp", "usb_discipline_faults",
                "usb_control_stalled", "usb_control_timed_out", "pmc_writes", "txvc_writes"]
        if not bus_reset:
            keys.append("usb_unanswered")
        for key in keys:
            self.assertEqual(figures.get(key), "0", "%s in the summary:\n%s" % (key, summary))
        # After a bus reset the only requests that may fail are the enumeration's
        # unanswered ones, which the driver makes again after a new reset.
        failed = int(figures.get("usb_enumeration_unanswered", "0")) if bus_reset else 0
        self.assertEqual(int(figures.get("usb_control_requests")) - failed, int(figures.get("usb_control_ok")),
                         summary)

    def assertFlashHolds(self, state, image):
        """The image from offset 0, its last chunk padded with zeros, the rest erased."""
        written = X.chunk_count(len(image)) * X.CHUNK
        want = image + bytes(written - len(image)) + bytes([ERASED]) * (X.FLASH_SIZE - written)
        self.assertIsNone(first_difference(state.flash, want), "flash content")


class ProgrammingRun(E2eCase):
    """A whole successful programming run, checked end to end."""

    def full_run(self, major, version_text, image, initial, args=()):
        self.job("firmware.bin", image)
        sim = self.sim(args=["--version", version_text] + list(args), state_in=initial)
        result = self.run_tool("y\n", timeout=300)
        sim.stop()
        self.assertConsole(result, X.successful_run("firmware.bin", ".1.",
                                                    X.rom_version_reply(version_text), len(image)))
        self.assertBoxes(result, [X.ASK_START, X.PROGRAMMING_DONE])
        state = sim.state()
        self.assertFlashHolds(state, image)
        self.assertEqual(state.lock_bits, ALL_REGIONS)
        self.assertEqual(state.gpnvm_bits, initial.gpnvm_bits | GPNVM2)
        self.assertFrames(sim, X.successful_run_frames(major, image))
        self.assertEqual(sim.lost_bytes(), 0)
        self.assertUsbClean(sim, bus_reset="--bus-reset-at" in args)
        # After the erase only the pages whose data is not all 0xFF need programming.
        written = X.chunk_count(len(image)) * X.CHUNK
        data = image + bytes(written - len(image))
        pages = sum(1 for at in range(0, written, 256) if data[at:at + 256] != b"\xff" * 256)
        self.assertIn("flash_page_writes: %d\n" % pages, sim.summary())
        self.last_sim = sim
        return result


class FullRunTest(ProgrammingRun):
    """Small images, both monitor versions."""

    def test_version_1_image_ending_inside_the_fifth_chunk(self):
        # Five chunks per pass: both pass lines get two dots.
        self.full_run(1, V1_TEXT, pattern(4 * X.CHUNK + 100, seed=7), used_state(gpnvm_bits=0))

    def test_version_2_image_of_whole_chunks_gets_a_zero_chunk(self):
        # Two whole chunks: the read that fills the second does not reach the
        # end of the file, so a third chunk of zeros is written and verified.
        self.full_run(2, V2_TEXT, pattern(2 * X.CHUNK, seed=8), used_state())

    def test_pages_of_0xff_are_left_alone_and_the_run_looks_the_same(self):
        # A whole chunk of 0xFF, a page of 0xFF inside data, and a page that
        # is 0xFF but one byte; the frames and the console are a normal run's.
        image = bytearray(pattern(3 * X.CHUNK + 700, seed=12))
        image[X.CHUNK:2 * X.CHUNK] = b"\xff" * X.CHUNK
        image[2 * X.CHUNK + 512:2 * X.CHUNK + 768] = b"\xff" * 256
        image[2 * X.CHUNK + 1024:2 * X.CHUNK + 1280] = b"\xff" * 255 + b"\x00"
        self.full_run(1, V1_TEXT, bytes(image), used_state(lock_bits=0, gpnvm_bits=0))


class FullSizeTest(ProgrammingRun):
    """516,096 bytes: 24 chunks, no zero chunk; no byte lost while applets run."""

    def test_full_size_image(self):
        for major, text in ((2, V2_TEXT), (1, V1_TEXT)):
            with self.subTest(monitor=major):
                result = self.full_run(major, text, pattern(X.MAX_IMAGE, seed=5 + major),
                                       used_state(gpnvm_bits=0))
                self.assertIn(X.WRITE + "." * 12 + X.OK, result.stdout)


class UsbLinkTest(ProgrammingRun):
    """What the USB link adds: the Windows driver's requests, a bus reset in the middle of a run."""

    def usb_notes(self, sim):
        with open(sim.wire_log, encoding="latin-1") as f:
            return [line.split(" ", 3)[3] for line in f.read().splitlines() if line.startswith("usb ")]

    def test_windows_driver(self):
        # Its open also clears the halt of both bulk endpoints (toggles back to DATA0).
        self.full_run(1, V1_TEXT, pattern(X.CHUNK + 7, seed=21), used_state(gpnvm_bits=0),
                      args=["--usb-driver", "windows"])
        notes = self.usb_notes(self.last_sim)
        self.assertIn("CLEAR_FEATURE ENDPOINT_HALT 0x01 ok", notes)
        self.assertIn("CLEAR_FEATURE ENDPOINT_HALT 0x82 ok", notes)

    def test_bus_reset_during_the_write_pass(self):
        # The host resets the bus before the first completion check of the write
        # pass, while the flash applet writes: the ROM monitor enumerates again
        # with the same descriptors once the applet has returned, and the run goes on.
        # On version 2 the SRAM monitor enumerates again with the descriptors
        # it found in the boot ROM.
        image = pattern(2 * X.CHUNK + 300, seed=22)
        for major, text in ((1, V1_TEXT), (2, V2_TEXT)):
            with self.subTest(monitor=major):
                frames = X.handshake_frames(major) + X.upload_frames() + X.erase_frames() + X.write_frames(image)
                k = frames.index(X.r(X.CMD), len(frames) - len(X.write_frames(image)))
                self.full_run(major, text, image, used_state(gpnvm_bits=0), args=["--bus-reset-at", str(k)])
                notes = self.usb_notes(self.last_sim)
                # At start and the one asked for; while the applet writes nobody
                # answers, so the driver resets the port again until the monitor does.
                retries = int(self.summary_figures(self.last_sim)["usb_enumeration_retries"])
                self.assertEqual(notes.count("bus reset"), 2 + retries, notes)
                self.assertIn("usb_bus_resets: %d\n" % (2 + retries), self.last_sim.summary())
                self.assertTrue(any(n.startswith("enumerated again") or "as before" in n for n in notes), notes)

    def test_bus_reset_right_after_an_answer(self):
        # The SRAM monitor answers at address 0 at once after a bus reset: the
        # host's first request, 10 ms after the reset, is answered, the
        # enumeration completes at the first try, and the run goes on to the
        # final notice; with either driver.
        image = pattern(X.CHUNK + 11, seed=23)
        k = len(X.handshake_frames(2))   # the chip identification read, right after the SRAM monitor's N#
        for driver in ("linux", "windows"):
            with self.subTest(driver=driver):
                self.full_run(2, V2_TEXT, image, used_state(gpnvm_bits=0),
                              args=["--bus-reset-at", str(k), "--usb-driver", driver])
                figures = self.summary_figures(self.last_sim)
                for key in ("usb_unanswered", "usb_enumeration_unanswered", "usb_enumeration_retries"):
                    self.assertEqual(figures[key], "0", key)
                self.assertEqual(figures["usb_bus_resets"], "2")
                self.assertLess(int(figures["usb_reset_answer_us"]), 100)


class JobFileTest(E2eCase):
    """f_write.txt and the image it names; the early exits touch no port."""

    def early_exit(self, console, box):
        sim = self.sim(exit_after_close=False)
        result = self.run_tool("y\n")
        sim.stop(grace=0)
        self.assertConsole(result, console)
        self.assertBoxes(result, [box])
        self.assertEqual(sim.host_frames(), [])

    def test_missing_job_file(self):
        self.early_exit(X.BANNER, X.NO_JOB_FILE)

    def test_name_followed_by_a_line_break(self):
        write_image(self.work, "firmware.bin", b"\1\2\3")
        for content in (b"firmware.bin\n", b"firmware.bin\r\n"):
            with self.subTest(content=content):
                write_job(self.work, content)
                self.early_exit(X.BANNER, X.BAD_JOB_FILE)

    def test_name_of_100_bytes(self):
        write_job(self.work, b"a" * 100)
        self.early_exit(X.BANNER, X.BAD_JOB_FILE)

    def test_empty_job_file(self):
        write_job(self.work, b"")
        self.early_exit(X.BANNER + X.input_file(""), X.IMAGE_OPEN_ERROR)

    def test_lone_carriage_return_is_part_of_the_name(self):
        write_image(self.work, "firmware.bin", b"\1\2\3")
        write_job(self.work, b"firmware.bin\r")
        self.early_exit(X.BANNER + X.input_file("firmware.bin\r"), X.IMAGE_OPEN_ERROR)

    def test_image_one_byte_over_24_chunks_is_refused(self):
        self.job("big.bin", bytes(X.MAX_IMAGE + 1))
        self.early_exit(X.BANNER + X.input_file("big.bin") + X.image_size_error(X.MAX_IMAGE + 1),
                        X.IMAGE_OPEN_ERROR)

    def accepted_name(self, name):
        # The image opens; with no instrument connected the run ends at the search.
        self.job(name, b"\x55" * 10)
        result = self.run_tool("y\n")
        self.assertConsole(result, X.BANNER + X.input_file(name) + X.search("") + X.SEARCH_FAILED)
        self.assertBoxes(result, [X.NO_DEVICE])

    def test_name_of_99_bytes_is_accepted(self):
        self.accepted_name("n" * 95 + ".bin")

    def test_percent_signs_in_the_name_are_printed_verbatim(self):
        self.accepted_name("fw%s%d%n%%x.bin")


class SearchTest(E2eCase):
    def test_no_device(self):
        self.job("firmware.bin", b"\1\2\3")
        result = self.run_tool("y\n")
        self.assertConsole(result, X.BANNER + X.input_file("firmware.bin") + X.search("")
                           + X.SEARCH_FAILED)
        self.assertBoxes(result, [X.NO_DEVICE])

    def test_wrong_reply_on_the_last_port_probed(self):
        # The device sits beyond the probed range; port 98 answers the probe
        # with the two bytes swapped, so the search ends with that port's code 6.
        self.job("firmware.bin", b"\1\2\3")
        sim = self.sim(port=99, args=["--decoy", "crlf:98"], exit_after_close=False)
        result = self.run_tool("y\n")
        sim.stop(grace=0)
        self.assertConsole(result, X.BANNER + X.input_file("firmware.bin") + X.search(".98.")
                           + X.SEARCH_FAILED)
        self.assertBoxes(result, [X.WILL_NOT_WORK])
        self.assertEqual(sim.host_frames(), [])

    def test_device_port_held_by_another_program_is_skipped(self):
        self.job("firmware.bin", b"\1\2\3")
        sim = self.sim(exit_after_close=False)
        held = os.open(os.path.join(self.port_dir, "COM1"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            result = self.run_tool("y\n")
        finally:
            os.close(held)
        sim.stop(grace=0)
        self.assertConsole(result, X.BANNER + X.input_file("firmware.bin") + X.search("")
                           + X.SEARCH_FAILED)
        self.assertBoxes(result, [X.NO_DEVICE])
        self.assertEqual(sim.host_frames(), [])

    def test_decoys_before_the_device_on_com12(self):
        # Port 1 stays silent, port 2 is held by another program (no mark),
        # port 3 answers the probe with the two bytes swapped.
        self.job("firmware.bin", b"\1\2\3")
        sim = self.sim(port=12, args=["--version", V1_TEXT, "--decoy", "silent:1",
                                      "--decoy", "held:2", "--decoy", "crlf:3"])
        result = self.run_tool("c\n")
        sim.stop()
        self.assertConsole(result, X.up_to_question("firmware.bin", ".1..3..12.",
                                                    X.rom_version_reply(V1_TEXT)))
        self.assertBoxes(result, [X.ASK_START])
        self.assertFrames(sim, X.handshake_frames(1) + X.upload_frames() + X.RETURN_TO_TERMINAL)


class SequenceTest(E2eCase):
    """The checks before the first question and the operator's decisions."""

    def start(self, answers, args=(), state=None):
        self.job("firmware.bin", pattern(30000))
        self.initial = state or used_state()
        sim = self.sim(args=["--version", V1_TEXT] + list(args), state_in=self.initial)
        result = self.run_tool(answers)
        sim.stop()
        return sim, result

    def head(self, version_text=V1_TEXT):
        return (X.BANNER + X.input_file("firmware.bin") + X.search(".1.") + X.TEST_DEVICE_OK
                + X.version(X.rom_version_reply(version_text)))

    def assertUntouched(self, sim, gpnvm_bits=None):
        state = sim.state()
        self.assertIsNone(first_difference(state.flash, self.initial.flash), "flash content changed")
        self.assertEqual(state.lock_bits, self.initial.lock_bits)
        self.assertEqual(state.gpnvm_bits,
                         self.initial.gpnvm_bits if gpnvm_bits is None else gpnvm_bits)

    def test_chip_identification(self):
        # Bits 0-3 and 12-15 are left out of the comparison; any other is not.
        sim, result = self.start("c\n", ["--chip-id", "0x272A0A41"])
        self.assertConsole(result, self.head() + X.PREPARE + X.OK + X.UPLOAD + X.OK)
        self.assertBoxes(result, [X.ASK_START])
        sim, result = self.start("y\n", ["--chip-id", "0x272B0A40"])
        self.assertConsole(result, self.head() + X.PREPARE + X.chip_id_error(0x272B0A40))
        self.assertBoxes(result, [X.WILL_NOT_WORK])
        self.assertFrames(sim, X.handshake_frames(1) + [b"wFFFFF240,4#"] + X.RETURN_TO_TERMINAL)
        self.assertUntouched(sim)

    def test_unsupported_version(self):
        text = "v3.0 Jan 05 2011"
        sim, result = self.start("y\n", ["--version", text])
        self.assertConsole(result, self.head(text) + X.version_error(30))
        self.assertBoxes(result, [X.WILL_NOT_WORK])
        self.assertFrames(sim, X.handshake_frames(1) + X.RETURN_TO_TERMINAL)

    def test_version_text_cannot_drive_the_terminal(self):
        # Bytes outside printable ASCII, CR, LF and tab are shown as '?'.
        text = "v1.4 \x1b[2J\x07ok\t%s"
        sim, result = self.start("c\n", ["--version", text])
        self.assertConsole(result, self.head("v1.4 ?[2J?ok\t%s") + X.PREPARE + X.OK + X.UPLOAD + X.OK)
        self.assertBoxes(result, [X.ASK_START])

    def test_operator_decisions(self):
        upto = X.up_to_question("firmware.bin", ".1.", X.rom_version_reply(V1_TEXT))
        before = X.handshake_frames(1) + X.upload_frames()
        cases = [
            # answers, console after the upload, boxes, GPNVM2 set, frames after the upload
            ("c\n", "", [X.ASK_START], False, []),
            ("n\nn\n", "", [X.ASK_START, X.ASK_CANCEL_MODE], False, []),
            ("n\ny\n", X.CANCEL_GPNVM + X.OK, [X.ASK_START, X.ASK_CANCEL_MODE, X.MODE_CANCELLED],
             True, X.GPNVM2_FRAMES),
            # End of input: the question could not be shown.
            ("", " \n", [X.ASK_START, X.NO_DEVICE], False, []),
        ]
        for answers, tail, boxes, gpnvm2, frames in cases:
            with self.subTest(answers=answers):
                sim, result = self.start(answers)
                self.assertConsole(result, upto + tail)
                self.assertBoxes(result, boxes)
                self.assertUntouched(sim, self.initial.gpnvm_bits | (GPNVM2 if gpnvm2 else 0))
                self.assertFrames(sim, before + frames + X.RETURN_TO_TERMINAL)


class FailureTest(E2eCase):
    """Failures after the operator's Yes."""

    def test_flipped_flash_byte_is_reported_with_its_address(self):
        cases = [
            # flash offset, file byte, flash byte, address printed, compare dots before it
            (2 * X.CHUNK + 5, 0x05, 0xFA, "10A805", "."),   # byte 5 of the third chunk
            (X.CHUNK - 1, 0xFF, 0x00, "1053FF", ""),        # last byte of the first chunk (the o frame)
        ]
        for offset, file_byte, flash_byte, address, dots in cases:
            with self.subTest(address=address):
                image = bytearray(pattern(50000, seed=3))
                image[offset] = file_byte
                self.job("firmware.bin", bytes(image))
                sim = self.sim(args=["--version", V1_TEXT, "--flip-flash", str(offset)],
                               state_in=used_state(lock_bits=0, gpnvm_bits=0))
                result = self.run_tool("y\n")
                sim.stop()
                self.assertConsole(result, X.up_to_question("firmware.bin", ".1.",
                                                            X.rom_version_reply(V1_TEXT))
                                   + X.ERASE + X.OK + X.WRITE + "." + X.OK
                                   + X.COMPARE + dots + X.mismatch(int(address, 16), file_byte, flash_byte))
                self.assertBoxes(result, [X.ASK_START, X.PROGRAMMING_FAILED])
                state = sim.state()
                self.assertEqual(state.lock_bits, 0, "no region may be locked after a failed verify")
                self.assertEqual(state.gpnvm_bits, 0, "GPNVM2 must stay clear after a failed verify")

    def device_lost_during_the_write_pass(self, fault):
        image = pattern(50000, seed=4)
        self.job("firmware.bin", image)
        # The fault strikes when the first completion check of the write pass
        # arrives (one frame later when the purged "#\n" never reached the line:
        # the outcome is the same).
        frames = X.handshake_frames(1) + X.upload_frames() + X.erase_frames() + X.write_frames(image)
        k = frames.index(X.r(X.CMD), len(frames) - len(X.write_frames(image)))
        sim = self.sim(args=["--version", V1_TEXT, fault, str(k)],
                       state_in=used_state(lock_bits=0, gpnvm_bits=0))
        result = self.run_tool("y\n", timeout=90)
        sim.stop()
        self.assertLess(result.wall, 60)
        self.assertConsole(result, X.up_to_question("firmware.bin", ".1.", X.rom_version_reply(V1_TEXT))
                           + X.ERASE + X.OK + X.WRITE + X.error_n(901))
        self.assertBoxes(result, [X.ASK_START, X.PROGRAMMING_FAILED])
        self.assertEqual(sim.state().gpnvm_bits, 0)

    def test_device_vanishing_during_the_write_pass(self):
        # The tool's read finds the line gone.
        self.device_lost_during_the_write_pass("--close-at")

    def test_device_falling_silent_during_the_write_pass(self):
        # Under the long time-out profile a read gives up after 5 s without a byte.
        self.device_lost_during_the_write_pass("--silent-from")


def main():
    global TOOL, SIM, LINK_ARGS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--tool", default=os.environ.get("QUILLMERE_TOOL"))
    parser.add_argument("--sim", default=os.environ.get("QUILLMERE_SIM"))
    parser.add_argument("--link", choices=["usb", "serial"], default="usb")
    args, rest = parser.parse_known_args()
    LINK_ARGS = ["--link", args.link]
    if not args.tool or not args.sim:
        sys.exit("usage: e2e_test.py --tool PATH --sim PATH [unittest arguments]")
    TOOL, SIM = os.path.abspath(args.tool), os.path.abspath(args.sim)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
