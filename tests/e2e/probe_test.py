#!/usr/bin/env python3
"""quillmere-probe against the simulated instrument on its USB link.

Every case runs the real probe as a process, with the simulator on a
pseudo-terminal in a port directory of its own, and checks the report (JSON
and plain text), the exit code, and every frame the probe sent: after the
version query only w and R frames, never one that writes or starts anything.

    probe_test.py --probe build/quillmere-probe --sim build/quillmere-sim [unittest args]

Set QUILLMERE_E2E_KEEP=1 to keep the scratch folders of the run.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Sim, parse_wire_log, tool_env  # noqa: E402

PROBE = None
SIM = None
# The udev rule template of the Linux package.
TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "70-quillmere.rules")

PORT = 3
V1_TEXT = "v1.4 Nov 10 2006"
V2_TEXT = "v2.1 Mar 02 2009"
ROM_BASE = 0x00300000
ROM_SIZE = 0x10000

# Items the probe judges, and the ones it only reports.
JUDGED = ["monitor.version", "chip_id", "usb.frm_num", "usb.glb_stat", "usb.faddr", "usb.csr0", "usb.csr1",
          "usb.csr2", "usb.csr3", "usb.txvc", "rom.device_descriptor", "rom.configuration_descriptor",
          "rom.endpoints"]
REPORTED = ["usb.isr", "usb.csr4", "usb.csr5", "usb.csr6", "usb.csr7", "pmc"]

# Every frame the probe may send, as the wire log writes it: the search's and
# the version query's mode frames, T#, word reads and block reads.
_ALLOWED = re.compile(r"^(N#|T#|V#\\n|#\\n|w[0-9A-F]{8},4#|R[0-9A-F]{8},[0-9A-F]{8}#)$")
_R_FRAME = re.compile(r"^R([0-9A-F]{8}),([0-9A-F]{8})#$")


class ProbeResult:
    def __init__(self, proc):
        self.stdout = proc.stdout.decode("latin-1")
        self.stderr = proc.stderr.decode("latin-1")
        self.returncode = proc.returncode

    def report(self):
        return json.loads(self.stdout)


def run_probe(port_dir, *args, timeout=120):
    proc = subprocess.run([PROBE] + list(args), env=tool_env(port_dir), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    return ProbeResult(proc)


class ProbeCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quillmere-probe-")

    def tearDown(self):
        if os.environ.get("QUILLMERE_E2E_KEEP") == "1":
            print("\nscratch folder kept: " + self.work, file=sys.stderr)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def probe(self, sim_args=(), probe_args=("--json",), name="run"):
        """One simulator with sim_args and one probe against it; returns (result, host frames)."""
        with Sim(SIM, os.path.join(self.work, name), port=PORT, args=list(sim_args)) as sim:
            result = run_probe(sim.port_dir, *probe_args)
        frames = [e.data for e in parse_wire_log(sim.wire_log) if e.to_device]
        self.assert_only_reads(frames)
        return result, frames

    def assert_only_reads(self, frames):
        """The search, the prompt, the version query, reads, and T# at the end: nothing that
        writes (W, H, O, S) or starts (G) anything."""
        self.assertTrue(frames, "no frame reached the instrument")
        for frame in frames:
            self.assertRegex(frame, _ALLOWED)
        self.assertEqual(frames[:2], ["N#", "T#"])
        self.assertEqual(frames[-1], "T#")
        # The version query's "#\n" may be purged before it leaves the host.
        query = [f for f in frames[2:5] if f != "#\\n"]
        self.assertEqual(query[:2], ["V#\\n", "N#"])
        # The ROM region is read once, in R frames whose lengths are no multiple of 64.
        reads = [_R_FRAME.match(f) for f in frames if f.startswith("R")]
        address = ROM_BASE
        for m in reads:
            self.assertEqual(int(m.group(1), 16), address)
            count = int(m.group(2), 16)
            self.assertNotEqual(count % 64, 0, m.group(0))
            address += count
        self.assertEqual(address, ROM_BASE + ROM_SIZE)

    def verdicts(self, report):
        return {item["id"]: item["verdict"] for item in report["items"]}

    def differing(self, report):
        return sorted(i for i, v in self.verdicts(report).items() if v == "differs")


class ProbeTest(ProbeCase):
    def test_instrument_as_the_sheet_says(self):
        result, frames = self.probe()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report = result.report()
        verdicts = self.verdicts(report)
        self.assertEqual(sorted(verdicts), sorted(JUDGED + REPORTED))
        for item in JUDGED:
            self.assertEqual(verdicts[item], "as expected", item)
        for item in REPORTED:
            self.assertEqual(verdicts[item], "reported", item)
        self.assertEqual(report["port"], "COM%d" % PORT)
        self.assertEqual(report["version"], {"text": V1_TEXT, "code": 10})
        self.assertEqual(report["exit_code"], 0)
        self.assertTrue(report["terminal_sent"])
        self.assertIsNone(report["link_lost_at"])
        self.assertEqual(report["notices"], [])
        rom = report["rom"]
        self.assertEqual(rom["bytes_read"], ROM_SIZE)
        self.assertEqual([(d["address"], d["vendor_id"], d["product_id"], d["max_packet0"])
                          for d in rom["device_descriptors"]],
                         [("0x0030A000", "0xF00D", "0x5EED", 8)])
        configs = rom["configuration_descriptors"]
        self.assertEqual([c["address"] for c in configs], ["0x0030A020"])
        self.assertEqual(sorted((e["number"], e["direction"], e["type"], e["packet_size"])
                                for e in configs[0]["endpoints"]),
                         [(1, "OUT", "bulk", 64), (2, "IN", "bulk", 64), (3, "IN", "interrupt", 64)])
        self.assertEqual(len(report["pmc"]), 64)
        # The search marks and the version line went to standard error, not into the report.
        self.assertIn(".%d." % PORT, result.stderr)
        self.assertIn("Chip ver : ", result.stderr)

    def test_plain_text_report(self):
        result, _ = self.probe(probe_args=())
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertTrue(result.stdout.startswith("quillmere-probe: the instrument against the chip sheet"))
        self.assertIn('Instrument on COM%d, boot monitor "%s", version code 10.' % (PORT, V1_TEXT), result.stdout)
        self.assertIn("[as expected] usb.csr1: CSR1, endpoint 1 at 0xFFFB0034", result.stdout)
        self.assertIn("  device descriptor at 0x0030A000: vendor 0xF00D, product 0x5EED", result.stdout)
        self.assertIn("13 judged items: 13 as expected, 0 differ; 6 reported, not judged.", result.stdout)
        self.assertTrue(result.stdout.endswith("exit code 0: every judged item is as expected.\n"))

    def test_swapped_bulk_endpoints_are_named(self):
        result, _ = self.probe(["--rom-descriptors", "swapped"])
        report = result.report()
        self.assertEqual(self.differing(report), ["rom.endpoints", "usb.csr1", "usb.csr2"])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(report["exit_code"], 1)

    def test_no_descriptors_in_the_rom_region(self):
        result, _ = self.probe(["--rom-descriptors", "none"])
        report = result.report()
        self.assertEqual(self.differing(report),
                         ["rom.configuration_descriptor", "rom.device_descriptor", "rom.endpoints"])
        self.assertEqual(report["rom"]["device_descriptors"], [])
        self.assertEqual(report["rom"]["configuration_descriptors"], [])
        self.assertEqual(result.returncode, 1)

    def test_endpoints_beyond_the_sheet_are_reported_only(self):
        for endpoints in (4, 8):
            with self.subTest(endpoints=endpoints):
                result, _ = self.probe(["--usb-endpoints", str(endpoints)], name="ep%d" % endpoints)
                report = result.report()
                self.assertEqual(self.differing(report), [])
                self.assertEqual(result.returncode, 0)
                for n in range(4, 8):
                    self.assertEqual(self.verdicts(report)["usb.csr%d" % n], "reported")

    def test_version_2_monitor_is_not_replaced(self):
        result, frames = self.probe(["--version", V2_TEXT])
        report = result.report()
        self.assertEqual(report["version"], {"text": V2_TEXT, "code": 20})
        self.assertEqual(self.differing(report), [])
        self.assertEqual(result.returncode, 0)

    def test_udev_rule_carries_the_rom_descriptor_ids(self):
        result, _ = self.probe(probe_args=("--udev-rule",))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        rules = [line for line in result.stdout.splitlines() if line and not line.startswith("#")]
        match = 'ATTRS{idVendor}=="f00d", ATTRS{idProduct}=="5eed"'
        self.assertEqual(rules, [
            'ACTION=="add|change", SUBSYSTEMS=="usb", %s, ENV{ID_MM_DEVICE_IGNORE}="1"' % match,
            'ACTION=="add|change", SUBSYSTEM=="tty", SUBSYSTEMS=="usb", %s, GROUP="dialout", MODE="0660"'
            % match])
        self.assertIn("on COM%d." % PORT, result.stdout)
        # The package's template holds the same lines, commented out, with placeholders for the ids.
        with open(TEMPLATE, encoding="utf-8") as f:
            template = [line[1:].rstrip("\n").replace("vvvv", "f00d").replace("pppp", "5eed")
                        for line in f if line.startswith("#ACTION")]
        self.assertEqual(template, rules)
        # Only the rule reaches standard output: the search marks went to standard error.
        self.assertNotIn(".%d." % PORT, result.stdout)

    def test_udev_rule_without_descriptor_or_instrument(self):
        result, _ = self.probe(["--rom-descriptors", "none"], probe_args=("--udev-rule",))
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("no USB device descriptor", result.stderr)
        port_dir = os.path.join(self.work, "ports")
        os.makedirs(port_dir)
        result = run_probe(port_dir, "--udev-rule")
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertEqual(run_probe(port_dir, "--udev-rule", "--json").returncode, 3)

    def test_no_instrument(self):
        port_dir = os.path.join(self.work, "ports")
        os.makedirs(port_dir)
        result = run_probe(port_dir, "--json")
        self.assertEqual(result.returncode, 2)
        report = result.report()
        self.assertEqual((report["stage"], report["code"], report["instrument_answered"]), ("search", 1, False))
        self.assertEqual(report["items"], [])


def main():
    global PROBE, SIM
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--sim", required=True)
    args, rest = parser.parse_known_args()
    PROBE = os.path.abspath(args.probe)
    SIM = os.path.abspath(args.sim)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
