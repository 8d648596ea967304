#!/usr/bin/env python3
"""zuvatool's shell completion, completing a few command lines as a user's
Tab would, with the built zuvatool first in PATH and a virtual device present
for the device selectors. bash: the script is sourced, `complete -p` checked
and the completion function run on COMP_WORDS. zsh: an interactive zsh
under zpty with compinit on the script's folder (tests/tool/zsh_complete.zsh).

  completion_test.py --exe ZUVATOOL --script zuvatool.bash --work-dir DIR
  completion_test.py --exe ZUVATOOL --script _zuvatool --shell zsh --work-dir DIR
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
    parser.add_argument("--shell", choices=("bash", "zsh"), default="bash")
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
    if args.shell == "zsh":
        return check_zsh(args.script, work, env)
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
    if done.returncode != 0 or len(lines) != len(CASES) + 1:
        print("FAIL bash ended %d\n%s\n%s" % (done.returncode, done.stdout, done.stderr))
        return 1
    registered = lines[0]
    ok = registered.startswith("complete ") and "-F _zuvatool" in registered and \
        registered.endswith(" zuvatool")
    print(("ok   " if ok else "FAIL ") + "complete -p zuvatool: " + registered)
    failed = not ok
    for case, line in zip(CASES, lines[1:]):
        failed |= not judge(case, line.split())
    return 1 if failed else 0


def judge(case, offered):
    words, wanted, unwanted = case
    ok = wanted <= set(offered) and not (unwanted & set(offered))
    print(("ok   " if ok else "FAIL ") + " ".join(words) + "<Tab> -> " + " ".join(offered))
    return ok


def check_zsh(script, work, env):
    # compinit finds the function by its file name in a folder of fpath.
    functions = os.path.join(work, "functions")
    os.makedirs(functions)
    shutil.copy(script, os.path.join(functions, "_zuvatool"))
    driver = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zsh_complete.zsh")
    failed = False
    for case in CASES:
        line = " ".join(case[0])
        done = subprocess.run(["zsh", "-f", driver, functions, work, line], cwd=work, env=env,
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            print("FAIL %s<Tab>: zsh ended %d\n%s" % (line, done.returncode, done.stderr))
            failed = True
            continue
        failed |= not judge(case, done.stdout.split())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
