#!/usr/bin/env python3
"""The matrix's judgement of a run, on made-up runs: a checker that lets a bad
run through would make every figure of the matrix worthless."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_matrix as fm  # noqa: E402

# The program that prints the tool's list of outcomes: --outcomes PROGRAM.
if "--outcomes" in sys.argv:
    _at = sys.argv.index("--outcomes")
    fm.load_outcomes(sys.argv[_at + 1])
    del sys.argv[_at:_at + 2]
else:
    sys.exit("usage: checker_test.py --outcomes PROGRAM [unittest arguments]")

IMAGE = fm.make_image(30000)
HEAD = ("\n  ***  QUILLMERE PROGRAMMING  *** ( V2.1 ) \n\n1. Input file  \n   New program : image.bin \n \n"
        "2. Search Device ... \n    .1. \n \n3. Test Device ...   OK \nChip ver : \n\rv1.4 Nov 10 2006\n\r \n"
        " 4. Prepare programming ...  OK \n 5. Upload applet ...  OK \n")
AFTER_YES = " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n 7. Write flash ... OK \n"
VERIFY_OK = " 8. Compare ... OK \n"
TAIL_OK = " 9. LOCK ALL FLASH .......... OK \n 10. GPNVM2 SET ..  OK \n"
ASK = "[ Attention ]  Запустить программирование ?  [y/n/c]? \n"
DONE = "[QUILLMERE]    Запись новой программы в прибор выполнена  \n"
ERROR = "[%s] text\n"


def state(flash=None, locks=fm.ALL_LOCKS, gpnvm=fm.GPNVM2):
    if flash is None:
        flash = fm.padded(IMAGE) + b"\xFF" * (fm.FLASH_SIZE - len(fm.padded(IMAGE)))
    return {"flash": flash, "locks": locks, "gpnvm": gpnvm}


INITIAL = fm.read_state_bytes(fm.initial_state())


def run(out, err, st, kind="drop-reply", status=0):
    return {"kind": kind, "k": 7, "status": status, "stdout": out, "stderr": err, "seconds": 1.0,
            "state": st, "frames": {}, "work": "/nonexistent"}


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.setup = fm.Setup("tool", "sim", 60, IMAGE, False)
        self.addCleanup(shutil.rmtree, self.setup.root, True)

    def verdict(self, r):
        return fm.classify(self.setup, r, INITIAL)

    def test_table(self):
        good_flash = state()["flash"]
        bad_flash = bytearray(good_flash)
        bad_flash[100] ^= 1
        rows = [
            # name, stdout, stderr, state, kind, status, expected verdict, expected outcome
            ("success", HEAD + AFTER_YES + VERIFY_OK + TAIL_OK, ASK + DONE, state(), "drop-reply", 0,
             "ok", "success"),
            ("success with wrong flash", HEAD + AFTER_YES + VERIFY_OK + TAIL_OK, ASK + DONE,
             state(flash=bytes(bad_flash)), "close-at", 0, "breach", "success"),
            ("success with a region unlocked", HEAD + AFTER_YES + VERIFY_OK + TAIL_OK, ASK + DONE,
             state(locks=0xFFFFFFFE), "corrupt-reply", 0, "breach", "success"),
            ("write failure, right notice", HEAD + AFTER_YES[:-len(" 7. Write flash ... OK \n")]
             + " 7. Write flash .. error N 901 \n", ASK + ERROR % "Error 11",
             state(flash=b"\xFF" * fm.FLASH_SIZE, locks=0, gpnvm=0), "silent-from", 0, "ok", "Error 11"),
            ("write failure, wrong notice", HEAD + " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n"
             " 7. Write flash .. error N 901 \n", ASK + ERROR % "Error 7",
             state(flash=b"\xFF" * fm.FLASH_SIZE, locks=0, gpnvm=0), "silent-from", 0, "breach", "Error 7"),
            ("erase code in the write stage", HEAD + " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n"
             " 7. Write flash .. error N 86 \n", ASK + ERROR % "Error 11",
             state(flash=b"\xFF" * fm.FLASH_SIZE, locks=0, gpnvm=0), "silent-from", 0, "breach", "Error 11"),
            ("GPNVM2 set without verify", HEAD + " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n"
             " 7. Write flash .. error N 901 \n", ASK + ERROR % "Error 11",
             state(flash=b"\xFF" * fm.FLASH_SIZE, locks=0, gpnvm=fm.GPNVM2), "silent-from", 0, "breach",
             "Error 11"),
            ("change before the Yes", HEAD[:-len(" 5. Upload applet ...  OK \n")] + " 5. Upload applet ...  error N 447 \n",
             ERROR % "Error 7", state(), "corrupt-request", 0, "breach", "Error 7"),
            ("upload failure, nothing changed", HEAD[:-len(" 5. Upload applet ...  OK \n")]
             + " 5. Upload applet ...  error N 447 \n", ERROR % "Error 7", INITIAL, "drop-reply", 0, "ok",
             "Error 7"),
            ("two notices", HEAD[:-len(" 5. Upload applet ...  OK \n")] + " 5. Upload applet ...  error N 447 \n",
             ERROR % "Error 4" + ERROR % "Error 7", INITIAL, "drop-reply", 0, "breach", "Error 7"),
            ("console goes on after the failure", HEAD + " 6. GPNVM2 SET ..  error N 361 \n more\n",
             ERROR % "Error 7", INITIAL, "drop-reply", 0, "breach", "Error 7"),
            ("prompt failure", HEAD[:HEAD.index("3. Test")] + "3. Test Device ...  Error N4 \n", ERROR % "Error 5",
             INITIAL, "corrupt-reply", 0, "ok", "Error 5"),
            ("prompt failure with a code the prompt never gives", HEAD[:HEAD.index("3. Test")]
             + "3. Test Device ...  Error N3 \n", ERROR % "Error 5", INITIAL, "corrupt-reply", 0, "breach",
             "Error 5"),
            ("version failure", HEAD[:HEAD.index("Chip ver")] + "Chip ver : \n\rv3.0\n\r \n"
             "Test version error N 30 \n \n", ERROR % "Error 5", INITIAL, "corrupt-reply", 0, "ok", "Error 5"),
            ("version failure with a supported version", HEAD[:HEAD.index("Chip ver")]
             + "Chip ver : \n\rv1.0\n\r \nTest version error N 10 \n \n", ERROR % "Error 5", INITIAL,
             "corrupt-reply", 0, "breach", "Error 5"),
            ("SRAM monitor failure", HEAD[:HEAD.index(" 4. Prepare")] + " 4. Prepare programming ...  error 72! \n",
             ERROR % "Error 7", INITIAL, "drop-reply", 0, "ok", "Error 7"),
            ("SRAM monitor failure with an unknown code", HEAD[:HEAD.index(" 4. Prepare")]
             + " 4. Prepare programming ...  error 75! \n", ERROR % "Error 7", INITIAL, "drop-reply", 0, "breach",
             "Error 7"),
            ("port lost in the test stage", HEAD[:HEAD.index("3. Test")] + "3. Test Device ...   Error port ! \n",
             ERROR % "Error 7", INITIAL, "close-at", 0, "ok", "Error 7"),
            ("image unreadable in the compare pass", HEAD + AFTER_YES + " 8. Compare .. error image read \n",
             ASK + ERROR % "Error 11", state(flash=b"\xFF" * fm.FLASH_SIZE, locks=0, gpnvm=0), "close-at", 0,
             "ok", "Error 11"),
            ("search failure", HEAD[:HEAD.index("3. Test")] + " \n", ERROR % "Error 4", INITIAL,
             "drop-reply", 0, "ok", "Error 4"),
            ("search failure with a box of the upload", HEAD[:HEAD.index("3. Test")] + " \n", ERROR % "Error 7",
             INITIAL, "drop-reply", 0, "breach", "Error 7"),
            ("control bytes on the console", HEAD.replace("v1.4", "v1.4\x1b[2J") + " 5. Upload", ERROR % "Error 7",
             INITIAL, "corrupt-reply", 0, "breach", "Error 7"),
            ("exit status 1", HEAD, "", INITIAL, "drop-reply", 1, "crash", "crash"),
            ("sanitizer report", HEAD, "==1==ERROR: AddressSanitizer: heap-buffer-overflow", INITIAL,
             "drop-reply", 0, "crash", "crash"),
            ("hang", HEAD, "", INITIAL, "drop-reply", None, "hang", "hang"),
        ]
        for name, out, err, st, kind, status, verdict, outcome in rows:
            with self.subTest(name):
                r = self.verdict(run(out, err, st, kind, status))
                self.assertEqual((r["verdict"], r["outcome"]), (verdict, outcome), r["problems"])

    def test_corrupted_request_still_valid(self):
        rows = [
            ("W0020200C,00000005#", "(byte 17 xor 01 on the way in)", True),   # region 5 -> 4
            ("W00202010,00000002#", "(byte 17 xor 01 on the way in)", True),   # GPNVM bit 2 -> 3
            ("W00202014,0000540F#", "(byte 17 xor 01 on the way in)", False),  # 'F' -> 'G'
            ("G00202000#", "(byte 8 xor 01 on the way in)", True),
            ("w00202004,4#", "(byte 0 xor 01 on the way in)", False),          # 'w' -> 'v'
            ("S00202AF4,00005400#[21504 bytes crc32 12345678]", "(byte 19 xor 01 on the way in)", True),
            ("N#", "(byte 0 xor 01 on the way in)", False),                    # 'N' -> 'O'
            ("W00202004,00000002#", "", False),                               # not corrupted at all
        ]
        for text, note, valid in rows:
            with self.subTest(text):
                self.assertEqual(fm.corrupted_frame_still_valid((text, note)), valid)

    def test_outcome_codes(self):
        # The list's code words: ranges, single codes, a negative code and
        # "x10" (any other multiple of ten, the supported versions excepted).
        rows = [
            ("upload", 103, True), ("upload", 107, False), ("upload", 447, True), ("upload", 446, False),
            ("version-unreadable", -480, True), ("version-unreadable", 0, True), ("version-unreadable", 110, True),
            ("version-unreadable", 10, False), ("version-unreadable", 30, False), ("version-unreadable", 33, False),
            ("version-unsupported", 30, True), ("prompt", 3, False), ("search-none", 5, True),
        ]
        by_key = {o["key"]: o for o in fm.OUTCOMES}
        for key, code, listed in rows:
            with self.subTest("%s %d" % (key, code)):
                self.assertEqual(fm.has_code(by_key[key], code), listed)

    def test_failure_forms_cover_the_list(self):
        # Every failure line of the list is recognised, and its example is
        # read back as that line with its code.
        examples = {
            " error N %d \n": (" error N 901 \n", "901"),
            "Error N%d \n": ("Error N4 \n", "4"),
            "Test version error N %d \n \n": ("Test version error N -480 \n \n", "-480"),
            " error %d! \n": (" error 71! \n", "71"),
            " Error port ! \n": (" Error port ! \n", None),
            " error chip ID = %X \n": (" error chip ID = 275A0760 \n", None),
            " Error !  \nADR = %X , DFILE = %X , DFLASH = %X \n": (
                " Error !  \nADR = 100004 , DFILE = 5A , DFLASH = FF \n", None),
            " error image read \n": (" error image read \n", None),
            " error image size = %n \n": (" error image size = 516097 \n", None),
        }
        self.assertEqual({form for form, _ in fm.FAILURE_FORMS}, set(examples))
        for form, regex in fm.FAILURE_FORMS:
            with self.subTest(form):
                text, code = examples[form]
                m = regex.fullmatch(text)
                self.assertIsNotNone(m)
                self.assertEqual(m.group(1) if m.groups() else None, code)

    def test_padding(self):
        rows = [(0, 1), (1, 1), (0x5400, 2), (0x5401, 2), (23 * 0x5400, 24), (24 * 0x5400, 24)]
        for size, chunks in rows:
            with self.subTest(size):
                self.assertEqual(len(fm.padded(bytes(size))), chunks * fm.CHUNK)


if __name__ == "__main__":
    unittest.main()
