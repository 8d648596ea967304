#!/usr/bin/env python3
"""zuvatool's bash completion, loaded into a bash that then completes a few
command lines as a user's Tab would (`complete -p`, the completion function
on COMP_WORDS), with the built zuvatool first in PATH and a virtual device
present for the device selectors.

  completion_test.py --exe ZUVATOOL --script zuvatool.bash --work-dir DIR
"""
import argparse
import os
import shutil
import subprocess
import sys

# (the words typed, the cursor on the last; what must be offered, what must not)
CASES = [
    (["zuvatool", ""], {"list", "flash", "read", "erase", "convert", "info", "help"}, set()),
    (["zuvatool", "fl"], {"flash"}, {"list"}),
    (["zuvatool", "help", "co"], {"convert"}, {"flash"}),
    (["zuvatool", "flash", "--"], {"--alt", "--changed-only", "--log", "--expect-sha256",
                                   "--device", "--serial", "--vid", "--pid", "--json"},
     {"--mass", "--length", "--plain"}),
    (["zuvatool", "erase", "--"], {"--mass", "--length", "--all"}, {"--watch", "--log"}),
    (["zuvatool", "convert", "a.hex", "b.dfu", "--p"], {"--pid", "--plain"}, {"--device"}),
    (["zuvatool", "flash", "--device", ""], {"sim:0"}, {"fw.bin"}),
    (["zuvatool", "read", "out.bin", "--serial", "ZUVA"], {"ZUVA00000001"}, set()),
    (["zuvatool", "flash", ""], {"fw.bin", "fw.hex"}, set()),
    (["zuvatool", "flash", "fw.bin", "--log", "fw"], {"fw.bin", "fw.hex"}, set()),
    (["zuvatool", "flash", "fw.bin", "--alt", ""], set(), {"fw.bin", "--json"}),
    (["zuvatool", "leave", ""], {"--device", "--json"}, {"fw.bin"}),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    work = args.work_dir
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "bin"))
    os.symlink(os.path.abspath(args.exe), os.path.join(work, "bin", "zuvatool"))
    for name in ("fw.bin", "fw.hex"):
        open(os.path.join(work, name), "w").close()
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_")}
    env.update(PATH=os.path.join(work, "bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
               ZUVA_SIM="default", ZUVA_SIM_FLASH=os.path.join(work, "flash.bin"))
    script = ['source "$1" || exit 9', "complete -p zuvatool"]
    for words, _, _ in CASES:
        quoted = " ".join("'%s'" % w for w in words)
        script.append('COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE="${COMP_WORDS[*]}"; '
                      'COMP_POINT=${#COMP_LINE}; COMPREPLY=(); _zuvatool; '
                      'echo "${COMPREPLY[*]}"' % (quoted, len(words) - 1))
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c", "\n".join(script), "bash",
                           os.path.abspath(args.script)], cwd=work, env=env, capture_output=True, text=True,
                          timeout=120)
    lines = done.stdout.splitlines()
    failures = []
    if done.returncode != 0 or len(lines) != len(CASES) + 1:
        print("FAIL bash ended %d\n%s\n%s" % (done.returncode, done.stdout, done.stderr))
        return 1
    registered = lines[0]
    ok = registered.startswith("complete ") and "-F _zuvatool" in registered and \
        registered.endswith(" zuvatool")
    print(("ok   " if ok else "FAIL ") + "complete -p zuvatool: " + registered)
    if not ok:
        failures.append("complete -p")
    for (words, wanted, unwanted), line in zip(CASES, lines[1:]):
        offered = set(line.split())
        ok = wanted <= offered and not (unwanted & offered)
        print(("ok   " if ok else "FAIL ") + " ".join(words) + "<Tab> -> " + line)
        if not ok:
            failures.append(" ".join(words))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
