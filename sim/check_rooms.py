#!/usr/bin/env python3
"""Checks that the simulator's rooms keep to their order, by their includes.

    check_rooms.py [SIM_DIR]
    check_rooms.py --self-test   (the rules on a made-up tree: every break found)

The simulated instrument has three rooms, and what ties them sits in sim/
itself:
  chip/  the microcontroller. Includes nothing of rom/, host/ or sim/, tests
         and benchmark included.
  rom/   the ROM boot monitor. Knows the chip only through its memory and
         bus accesses (chip/chip.h) and the USB port's register map
         (chip/usb_regs.h).
  host/  the PC. Knows the chip's port only through the bus
         (chip/usb_bus.h); the bus itself (host/usb_link.*), which keeps the
         chip's time, also sees chip/chip.h. From rom/ it reads the monitor's
         frame grammar (rom/monitor_frame.h) and nothing else.
rom/ and host/ may write to the simulator's log (sim/sim_log.h), nothing
else of sim/. The tests of rom/ and host/ put rooms together (the ROM monitor
against the PC's driver, the driver against the real port) and may include
any room, but not sim/. No room but chip/ includes the CPU emulator.

Prints each include that breaks a rule and exits 1, or prints a count and
exits 0.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# Headers of other places each room may include (its own are always allowed).
ALLOWED = {
    "chip": set(),
    "rom": {"sim/chip/chip.h", "sim/chip/usb_regs.h", "sim/sim_log.h"},
    "host": {"sim/chip/usb_bus.h", "sim/rom/monitor_frame.h", "sim/sim_log.h"},
}
# Single files with a wider door: the USB bus between the driver and the port.
ALLOWED_FILE = {
    "host/usb_link.h": {"sim/chip/chip.h"},
    "host/usb_link.cpp": {"sim/chip/chip.h"},
}
ROOMS = ("chip", "rom", "host")


def is_test(name):
    return "_test" in name


def problems(sim_dir):
    found = []
    checked = 0
    for room in ROOMS:
        folder = os.path.join(sim_dir, room)
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".h", ".cpp")):
                continue
            rel = f"{room}/{name}"
            checked += 1
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    kind, path = m.groups()
                    where = f"sim/{rel}:{number}: {kind}{path}{'>' if kind == '<' else kind}"
                    if kind == "<":
                        if path.startswith("unicorn/") and room != "chip":
                            found.append(f"{where}: only the chip runs the CPU emulator")
                        continue
                    if not path.startswith("sim/") or path.startswith(f"sim/{room}/"):
                        continue
                    if room != "chip" and is_test(name):
                        if path.split("/")[1] in ROOMS:
                            continue
                        if path == "sim/sim_log.h":
                            continue
                        found.append(f"{where}: a room's test does not use what ties the rooms")
                        continue
                    if path in ALLOWED[room] or path in ALLOWED_FILE.get(rel, set()):
                        continue
                    found.append(f"{where}: {room}/ may not include this")
    return found, checked


# Made-up files for --self-test: (file, include line, broken?).
SELF_TEST = [
    ("chip/a.cpp", '#include "sim/host/cdc_host.h"', True),
    ("chip/a_test.cpp", '#include "sim/rom/rom_monitor.h"', True),
    ("chip/b.cpp", '#include "sim/sim_log.h"', True),
    ("chip/c.cpp", '#include <unicorn/unicorn.h>', False),
    ("chip/d.cpp", '#include "sim/chip/usb_port.h"', False),
    ("rom/a.cpp", '#include "sim/chip/usb_port.h"', True),
    ("rom/b.cpp", '#include "sim/host/wire_log.h"', True),
    ("rom/c.cpp", '#include "sim/options.h"', True),
    ("rom/d.cpp", '#include <unicorn/unicorn.h>', True),
    ("rom/e.cpp", '#include "sim/chip/usb_regs.h"', False),
    ("rom/f.h", '#include "sim/chip/chip.h"', False),
    ("rom/g_test.cpp", '#include "sim/host/cdc_host.h"', False),
    ("rom/h_test.cpp", '#include "sim/state_file.h"', True),
    ("host/a.cpp", '#include "sim/chip/chip.h"', True),
    ("host/b.h", '#include "sim/rom/rom_monitor.h"', True),
    ("host/c.cpp", '#include "sim/options.h"', True),
    ("host/d.cpp", '#include "sim/chip/usb_bus.h"', False),
    ("host/e.cpp", '#include "sim/rom/monitor_frame.h"', False),
    ("host/usb_link.cpp", '#include "sim/chip/chip.h"', False),
    ("host/usb_link.h", '#include "sim/chip/usb_port.h"', True),
    ("host/f_test.cpp", '#include "sim/chip/usb_port.h"', False),
]


def self_test():
    import tempfile
    with tempfile.TemporaryDirectory() as root:
        for room in ROOMS:
            os.mkdir(os.path.join(root, room))
        for rel, line, _ in SELF_TEST:
            with open(os.path.join(root, rel), "a", encoding="utf-8") as f:
                f.write(line + "\n")
        found, _ = problems(root)
    failures = 0
    for rel, line, broken in SELF_TEST:
        reported = any(p.startswith(f"sim/{rel}:") for p in found)
        if reported != broken:
            print(f"self-test: sim/{rel} {line}: {'not ' if broken else ''}reported")
            failures += 1
    print(f"self-test: {len(SELF_TEST) - failures} passed, {failures} failed")
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    sim_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    found, checked = problems(sim_dir)
    for p in found:
        print(p)
    if found:
        print(f"check_rooms: {len(found)} include(s) across the rooms' order")
        return 1
    if checked == 0:
        print("check_rooms: no file found in the rooms")
        return 1
    print(f"check_rooms: {checked} files of chip/, rom/ and host/ keep to the rooms' order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
