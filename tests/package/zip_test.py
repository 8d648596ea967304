#!/usr/bin/env python3
"""Builds the Windows archive of this build with CPack and checks its
contents: one folder named after the version holding the programs (64-bit
Windows executables), the README and the licence, and nothing else.

Command line: see package_harness.py.
"""
import re
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

from package_harness import SOURCE_DIR, Run

IMAGE_FILE_MACHINE_AMD64 = 0x8664


def is_amd64_exe(data):
    """A PE image for x86-64: the MZ header points at the PE signature, which
    the machine field follows."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return False
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return data[pe:pe + 4] == b"PE\0\0" and \
        struct.unpack_from("<H", data, pe + 4)[0] == IMAGE_FILE_MACHINE_AMD64


def main():
    run = Run()
    args, work = run.args, run.work
    result = subprocess.run([args.cpack, "-G", "ZIP", "-B", str(work)], cwd=args.build_dir,
                            capture_output=True, text=True, timeout=300)
    folder = "zuva-%s-win64" % args.version
    archive = work / (folder + ".zip")
    run.check("CPack builds " + archive.name, result.returncode == 0 and archive.exists(),
              result.stdout[-3000:] + result.stderr[-3000:])
    if run.failures:
        return 1

    programs = ["ZUVA.exe"] + (["zuvatool.exe"] if args.with_tool else [])
    documents = ["README.md", "virtual-device.md", "LICENSE"]
    with zipfile.ZipFile(archive) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        wanted = sorted(folder + "/" + n for n in programs + documents)
        run.check("the archive holds the programs, the README and the licence in one folder",
                  names == wanted, "has %s, wants %s" % (names, wanted))
        for name in programs:
            member = folder + "/" + name
            run.check(name + " is an x86-64 Windows executable",
                      member in names and is_amd64_exe(z.read(member)))
        member = folder + "/LICENSE"
        run.check("LICENSE is the project's", member in names and
                  z.read(member) == (SOURCE_DIR / "LICENSE").read_bytes())
        # The README as the build installs it: its links lead to the files
        # beside it in the folder, or have no target.
        member = folder + "/README.md"
        readme = z.read(member).decode() if member in names else ""
        run.check("README.md is the project's, as installed",
                  readme.encode() == (Path(args.build_dir) / "packaging/README.md").read_bytes())
        targets = re.findall(r"\]\(([^)#]+)\)", readme)
        broken = [t for t in targets if "://" not in t and folder + "/" + t not in names]
        run.check("the README links to files of the archive only", targets and not broken, broken)
    return run.status()


if __name__ == "__main__":
    sys.exit(main())
