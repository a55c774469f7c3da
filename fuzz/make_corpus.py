#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The fuzz_run seeds are the scripted replies of the unit tests' runs, encoded
for the fuzz device (fuzz_platform.h): a whole successful run with a version-1
and a version-2 monitor, the operator's other answers, a verify mismatch, and
devices that fail at chosen points. The fuzz_jobfile seeds are the job-file and
image cases: names of 0, 99 and 100 bytes, line breaks, a percent sign, image
sizes 0, 1, 0x5400, 516,096 and 516,097, a missing image and a directory.

Run it again after changing the encoding; it replaces the seed files.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# First sixteen bytes of fuzz_run's image (kImageHead in fuzz_run.cpp).
IMAGE_HEAD = bytes([0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0,
                    0x80, 0x05, 0xFF, 0x00, 0x7E, 0x3E, 0x0A, 0x0D])

SILENCE = b"\xF2"
GONE = b"\xFF"
ENDLESS = b"\xFE"


def whole(data):
    """One read call that delivers all requested bytes."""
    return b"\x00" + data


def word(value):
    if value == 0:
        return b"\xF0\x00"  # every byte 0
    return whole(struct.pack("<I", value))


def fill(byte):
    return b"\xF0" + bytes([byte])


YES, NO, CANCEL, NOT_SHOWN = b"\x00", b"\x01", b"\x02", b"\x03"


def header(port=1, flags=0, fail_write=0xFF, clock=0):
    return bytes([port - 1, flags, fail_write, clock])


def version_reply(text):
    reply = b"\n\r" + text + b"\n\r>"
    return bytes([len(reply)]) + reply + SILENCE + SILENCE


def start(version=b"v1.4 Nov 10 2006", v2=False, chip=0x272A0A40):
    s = whole(b"\n\r")          # probe answer
    s += whole(b"\n\r>")        # terminal prompt
    s += version_reply(version)
    s += whole(b"\n\r")         # N# after the reopen
    if v2:
        s += whole(b"\n\r\n")   # the SRAM monitor's answer to T#
        s += whole(b"\n\r")     # N# to the SRAM monitor
    s += word(chip)             # chip identification
    return s


def applets():
    s = word(0xFFFFFFFF) + word(0) + word(0) + word(4) + word(0) + word(0) * 3
    s += word(0xFFFFFFFF) + word(0) + word(0x00080000) + word(0x00202AF4) + word(0x5400)
    s += word(0x00204000) * 3
    return s


def regions(done):
    return (word(done) + word(0)) * 32


def transfer_done(done):
    return word(done) + word(0) + word(0x5400)


def program(mismatch=False):
    s = regions(0xFFFFFFFA)                         # unlock
    s += word(0xFFFFFFFE) + word(0)                 # erase
    s += transfer_done(0xFFFFFFFD) * 2              # write waits
    head = bytearray(IMAGE_HEAD)
    if mismatch:
        head[5] ^= 0x01
    s += transfer_done(0xFFFFFFFC)                  # read chunk 0
    s += bytes([16]) + bytes(head) + fill(0)        # fetch chunk 0 in two pieces
    s += fill(0)                                    # its last byte
    s += transfer_done(0xFFFFFFFC) + fill(0) + fill(0)
    if mismatch:
        return s
    s += regions(0xFFFFFFFB)                        # lock
    s += word(0xFFFFFFF9) + word(0)                 # GPNVM2
    return s


def run_seeds():
    seeds = {}
    seeds["success_v1"] = header() + start() + applets() + YES + program()
    seeds["success_v2"] = header(port=12, clock=200) + start(b"v2.0 Jan 01 2008", v2=True) + applets() + YES + program()
    seeds["cancel"] = header() + start() + applets() + CANCEL
    seeds["not_shown"] = header() + start() + applets() + NOT_SHOWN
    seeds["no_no"] = header() + start() + applets() + NO + NO
    seeds["no_yes"] = header() + start() + applets() + NO + YES + word(0xFFFFFFF9) + word(0)
    seeds["mismatch"] = header() + start() + applets() + YES + program(mismatch=True)
    seeds["version3"] = header() + start(b"v3.0 Jan 01 2010")
    # A version text of 40 bytes with no terminator, then the rest of a run.
    seeds["version40"] = (header() + whole(b"\n\r") + whole(b"\n\r>") + whole(b"\n\rv1.4" + b"x" * 34)
                          + whole(b"\n\r") + word(0x272A0A40) + applets() + CANCEL)
    seeds["endless"] = header() + whole(b"\n\r") + ENDLESS
    seeds["chip_refused"] = header() + start(chip=0x272B0A40)
    seeds["chip_accepted"] = header() + start(chip=0x272A0A41) + applets() + CANCEL
    seeds["decoy_below"] = header(port=5, flags=0x10) + start()
    seeds["reopen_refused"] = header(flags=0x04) + start()
    seeds["line_rejected"] = header(flags=0x02)
    seeds["write_fails"] = header(fail_write=40) + start() + applets() + YES + program()
    full = seeds["success_v1"]
    for cut in (3, 9, 40, 120, 400):
        seeds["gone_at_%d" % cut] = full[:cut]
    seeds["silent_write_pass"] = header() + start() + applets() + YES + regions(0xFFFFFFFA) + word(0xFFFFFFFE) + word(0) + SILENCE
    return seeds


def job_seed(mode, job, size, head=b""):
    return bytes([mode, len(job)]) + job + struct.pack("<I", size) + head


def jobfile_seeds():
    name = 0x02  # the job starts with "image.bin"
    return {
        "small": job_seed(name, b"", 30000, b"\x01\x02\x03"),
        "empty_image": job_seed(name, b"", 0),
        "one_byte": job_seed(name, b"", 1, b"\xAA"),
        "one_chunk": job_seed(name, b"", 0x5400),
        "largest": job_seed(name, b"", 516096),
        "too_large": job_seed(name, b"", 516097),
        "no_job": job_seed(0x01 | name, b"", 10),
        "no_image": job_seed(0x04 | name, b"", 10),
        "directory": job_seed(0x08 | name, b"", 0),
        "trailing_lf": job_seed(name, b"\n", 10),
        "crlf": job_seed(name, b"\r\n", 10),
        "lone_cr": job_seed(name, b"\r", 10),
        "percent": job_seed(0, b"%s%n%d.bin", 10),
        "spaces": job_seed(0, b"my image.bin", 10),
        "non_ascii": job_seed(0, "\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430.bin".encode("utf-8"), 10),
        "cp1251": job_seed(0, b"\xef\xf0\xee\xf8.bin", 10),
        "name_99": job_seed(name, b"x" * 90, 10),
        "name_100": job_seed(name, b"x" * 91, 10),
        "empty_job": job_seed(0, b"", 10),
    }


def write(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    for name, data in sorted(seeds.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("%s: %d seeds" % (target, len(seeds)))


def main():
    write("fuzz_run", run_seeds())
    write("fuzz_jobfile", jobfile_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
