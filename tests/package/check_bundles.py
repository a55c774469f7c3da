#!/usr/bin/env python3
"""Lists the release bundles and checks what they hold, without installing
anything: the Debian package of a Linux build folder (dpkg-deb) and the ZIP of
a Windows build folder (zipfile).

    check_bundles.py [--deb BUILD_DIR] [--zip BUILD_WIN_DIR]

Each bundle must hold exactly the programs, the two operator's sheets, the
sample job file (the image name and no line break) and, in the Debian package,
the udev rule template; nothing else (no test binary, no library). The
package must depend on libunicorn for quillmere-sim. Exit code 0 when both
given bundles are as they should be, 1 otherwise.
"""
import argparse
import glob
import io
import os
import subprocess
import sys
import tarfile
import zipfile

SAMPLE_JOB = b"firmware.bin"
SHEETS = ["operator-sheet-en.html", "operator-sheet-ru.html"]

DEB_FILES = sorted(["usr/bin/quillmere", "usr/bin/quillmere-probe", "usr/bin/quillmere-sim",
                    "usr/share/doc/quillmere/examples/f_write.txt",
                    "usr/share/quillmere/70-quillmere.rules"]
                   + ["usr/share/doc/quillmere/" + s for s in SHEETS])
ZIP_FILES = sorted(["quillmere.exe", "quillmere-probe.exe", "f_write.txt"] + SHEETS)


def only(pattern):
    found = glob.glob(pattern)
    if len(found) != 1:
        raise SystemExit("expected one bundle %s, found %s" % (pattern, found or "none"))
    return found[0]


def check_deb(build):
    path = only(os.path.join(build, "quillmere_*.deb"))
    problems = []
    listing = subprocess.run(["dpkg-deb", "-c", path], check=True, capture_output=True, text=True).stdout
    print(listing, end="")
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        members = {m.name[2:] if m.name.startswith("./") else m.name: m for m in tar.getmembers()}
        files = sorted(name for name, m in members.items() if not m.isdir())
        if files != DEB_FILES:
            problems.append("package files %s, expected %s" % (files, DEB_FILES))
        for name in files:
            if name.startswith("usr/bin/") and not members[name].mode & 0o111:
                problems.append("%s is not executable" % name)
        job = "usr/share/doc/quillmere/examples/f_write.txt"
        if job in members and tar.extractfile(members[job]).read() != SAMPLE_JOB:
            problems.append("the sample f_write.txt is not exactly %r" % SAMPLE_JOB)
        rules = "usr/share/quillmere/70-quillmere.rules"
        if rules in members and b"quillmere-probe --udev-rule" not in tar.extractfile(members[rules]).read():
            problems.append("the udev rule template does not say how to use quillmere-probe --udev-rule")
    fields = subprocess.run(["dpkg-deb", "-f", path, "Package", "Version", "Architecture", "Depends"],
                            check=True, capture_output=True, text=True).stdout
    print(fields, end="")
    if "libunicorn" not in fields:
        problems.append("the package does not depend on libunicorn")
    return path, problems


def check_zip(build):
    path = only(os.path.join(build, "quillmere-*-win64.zip"))
    problems = []
    with zipfile.ZipFile(path) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        for n in names:
            print(n)
        tops = {n.split("/", 1)[0] for n in names}
        if len(tops) != 1:
            problems.append("the ZIP holds more than one top folder: %s" % sorted(tops))
        files = sorted(n.split("/", 1)[-1] for n in names)
        if files != ZIP_FILES:
            problems.append("ZIP files %s, expected %s" % (files, ZIP_FILES))
        for n in names:
            if n.endswith("/f_write.txt") and z.read(n) != SAMPLE_JOB:
                problems.append("the sample f_write.txt is not exactly %r" % SAMPLE_JOB)
            if n.endswith(".exe") and z.read(n)[:2] != b"MZ":
                problems.append("%s is not a Windows program" % n)
    return path, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--deb", metavar="BUILD_DIR")
    parser.add_argument("--zip", metavar="BUILD_WIN_DIR")
    args = parser.parse_args()
    if not args.deb and not args.zip:
        parser.error("nothing to check")
    failed = False
    for check, build in ((check_deb, args.deb), (check_zip, args.zip)):
        if not build:
            continue
        path, problems = check(build)
        for p in problems:
            print("%s: %s" % (path, p), file=sys.stderr)
        print("%s: %s" % (path, "as it should be" if not problems else "%d problems" % len(problems)))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
