#!/usr/bin/env python3
"""Builds the Debian package of this build with CPack, unpacks it into a
scratch root and checks it as a user would meet it: the control fields, the
files in their places, and the installed programs, started through PATH from
the scratch root, upgrading the virtual device in process and on the emulated
USB bus.

Command line: see package_harness.py.
"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys

from package_harness import SOURCE_DIR, Run

DEFAULT_IMAGE = (SOURCE_DIR / "resources" / "default_image.bin").read_bytes()
RULE = "usr/lib/udev/rules.d/50-zuva-dfu.rules"
# Each step ends in "finished." after its in-place percentages.
STEPS_FINISHED = re.compile(rb"Verifying\.\.\. [0-9%\x08]*finished\.\n"
                            rb"Leaving DFU mode\.\.\. [0-9%\x08]*finished\.\n")


def build_packages(args, work):
    """The package files by package name (zuva, zuva-devsim), or None after printing why
    CPack failed."""
    result = subprocess.run([args.cpack, "-G", "DEB", "-B", str(work / "cpack")],
                            cwd=args.build_dir, capture_output=True, text=True, timeout=300)
    debs = {field(deb, "Package"): deb for deb in sorted((work / "cpack").glob("*.deb"))}
    if result.returncode != 0 or sorted(debs) != ["zuva", "zuva-devsim"]:
        print(result.stdout[-3000:] + result.stderr[-3000:] + " ".join(sorted(debs)))
        return None
    return debs


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], capture_output=True,
                          text=True, check=True).stdout.strip()


def check_control(run, debs, args):
    for name, deb in debs.items():
        run.check("the package is %s_VERSION_amd64.deb with that version inside" % name,
                  deb.name == "%s_%s_amd64.deb" % (name, args.version) and
                  field(deb, "Version") == args.version, deb.name + " / " + field(deb, "Version"))
    deb = debs["zuva"]
    depends = field(deb, "Depends")
    run.check("the dependencies name the libraries the programs link (libusb, libc)",
              "libusb-1.0-0" in depends and "libc6" in depends, depends)
    # The emulated bus is a test tool: installing the programs never brings its library.
    run.check("zuva depends on no umockdev library and suggests zuva-devsim",
              "umockdev" not in depends and "umockdev" not in field(deb, "Pre-Depends") and
              field(deb, "Suggests") == "zuva-devsim", depends + " / " + field(deb, "Suggests"))
    devsim = field(debs["zuva-devsim"], "Depends")
    run.check("zuva-devsim depends on the umockdev library it links", "libumockdev0" in devsim, devsim)
    control = run.work / "control"
    subprocess.run(["dpkg-deb", "-e", str(deb), str(control)], check=True)
    postinst = control / "postinst"
    text = postinst.read_text() if postinst.exists() else ""
    run.check("postinst is executable and reloads the udev rules",
              os.access(postinst, os.X_OK) and "udevadm control --reload-rules" in text, text)


COPYRIGHT = "usr/share/doc/zuva/copyright"
BASH_COMPLETION = "usr/share/bash-completion/completions/zuvatool"


def package_files(deb):
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True,
                             check=True).stdout
    return sorted(line.split()[-1][2:] for line in listing.splitlines() if not line.startswith("d"))


def check_files(run, root, debs, args):
    programs = ["ZUVA", "zuva-devsim"] + (["zuvatool"] if args.with_tool else [])
    tool = [p for p in programs if p != "zuva-devsim"]
    wanted = ["usr/bin/" + p for p in tool] + \
             ["usr/share/man/man1/%s.1.gz" % p for p in tool] + \
             [RULE, "usr/share/doc/zuva/README.md", "usr/share/doc/zuva/virtual-device.md",
              COPYRIGHT, "usr/share/doc/zuva/changelog.gz"]
    if args.with_tool:
        wanted += [BASH_COMPLETION, "usr/share/zsh/vendor-completions/_zuvatool"]
    run.check("zuva holds the programs, manual pages, udev rule, documents and completions, "
              "nothing else", package_files(debs["zuva"]) == sorted(wanted),
              "has %s, wants %s" % (package_files(debs["zuva"]), sorted(wanted)))
    devsim = ["usr/bin/zuva-devsim", "usr/share/man/man1/zuva-devsim.1.gz",
              "usr/share/doc/zuva-devsim/copyright", "usr/share/doc/zuva-devsim/changelog.gz",
              # zuva-devsim's own preloaded library (a usbfs node that seeks)
              "usr/lib/zuva/devsim/libzuva-devsim-usbfs.so"]
    run.check("zuva-devsim holds the emulated bus, its library, manual page and documents",
              package_files(debs["zuva-devsim"]) == sorted(devsim), package_files(debs["zuva-devsim"]))
    run.check("the programs are executable",
              all(os.access(root / "usr/bin" / p, os.X_OK) for p in programs))
    check_copyright(run, root)
    rule = (SOURCE_DIR / "packaging/50-zuva-dfu.rules").read_text()
    run.check("the installed udev rule is the project's", (root / RULE).read_text() == rule)
    readme = (root / "usr/share/doc/zuva/README.md").read_text()
    run.check("the README shows the rule as installed",
              all(line in readme for line in rule.splitlines() if line and not line.startswith("#")))
    # Every link of the installed README reaches a file the packages install.
    targets = re.findall(r"\]\(([^)#]+)\)", readme)
    broken = [t for t in targets if "://" not in t and
              not (root / "usr/share/doc/zuva" / t if not t.startswith("/") else root / t[1:]).is_file()]
    run.check("the installed README links to installed files only", targets and not broken, broken)
    for page in programs:
        path = root / ("usr/share/man/man1/%s.1.gz" % page)
        text = gzip.decompress(path.read_bytes()).decode() if path.exists() else ""
        title = re.search(r'^\.TH "?%s"? "?1"?' % re.escape(page), text, re.M | re.I)
        run.check("the manual page of %s states the version" % page,
                  title is not None and args.version in text, text[:200])


def check_copyright(run, root):
    """Debian's machine-readable copyright file: one paragraph for every file,
    the MIT (Expat) licence's words, held by the ZUVA authors."""
    path = root / COPYRIGHT
    text = path.read_text() if path.exists() else ""
    licence = (SOURCE_DIR / "LICENSE").read_text()
    terms = licence[licence.index("Permission is hereby granted"):].split()
    run.check("the copyright file is in Debian's format with the MIT licence of the ZUVA authors",
              text.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                              "copyright-format/1.0/\n") and
              "\nFiles: *\nCopyright: 2026 the ZUVA authors\nLicense: Expat\n" in text and
              [w for w in text.split() if w != "."][-len(terms):] == terms and
              all(line.startswith(" ") for line in text.split("License: Expat\n")[1].splitlines()),
              text[:600])


MAN_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT CODES", "EXAMPLES", "FILES", "ENVIRONMENT",
                "SEE ALSO"]


def check_tool_manual(run, root, args):
    """man zuvatool: the sections a user looks for, and every sentence of the whole help
    (where each command's explanations live), as groff renders the installed page."""
    if not args.with_tool:
        return
    page = root / "usr/share/man/man1/zuvatool.1.gz"
    rendered = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou"], input=gzip.decompress(page.read_bytes()),
                              capture_output=True, timeout=60).stdout.decode("ascii", "replace")
    headings = [line.strip() for line in rendered.splitlines() if re.match(r"^[A-Z][A-Z ]+$", line)]
    run.check("man zuvatool has the sections %s" % ", ".join(MAN_SECTIONS),
              all(section in headings for section in MAN_SECTIONS), headings)
    run.check("man zuvatool's FILES names the installed udev rule",
              "/" + RULE in rendered.split("\nFILES\n")[-1].split("\nENVIRONMENT\n")[0], rendered[-3000:])
    env = installed_env(root, run.work, {})
    whole = subprocess.run(["zuvatool", "--help-all"], capture_output=True, text=True, env=env,
                           timeout=60).stdout
    # The usage lines become the synopsis and each "Heading:" a section; every other line
    # is there word for word.
    flat = " ".join(rendered.split())
    body = whole.split("\n\n", 1)[-1]
    lines = [" ".join(line.split()) for line in body.splitlines()
             if line.strip() and not re.match(r"^[A-Z][a-z ]*:$", line)]
    missing = [line for line in lines if line not in flat]
    run.check("man zuvatool holds every line of zuvatool --help-all (%d)" % len(lines),
              lines and not missing, missing[:5])


def check_lintian(run, deb):
    """lintian finds nothing a maintainer must fix: no error, no warning."""
    if shutil.which("lintian") is None:
        run.check("lintian is installed (scripts/install-deps.sh)", False)
        return
    result = subprocess.run(["lintian", "--tag-display-limit", "0", str(deb)],
                            capture_output=True, text=True, timeout=600)
    findings = [line for line in result.stdout.splitlines() if line.startswith(("E:", "W:"))]
    run.check("lintian reports no error and no warning on " + deb.name, not findings and
              result.returncode == 0, result.stdout[-3000:] + result.stderr[-1500:])


def check_completion(run, root, args):
    """The installed bash completion registers itself and completes the
    installed zuvatool's commands."""
    if not args.with_tool:
        return
    script = 'source "$1" && complete -p zuvatool && COMP_WORDS=(zuvatool fl) COMP_CWORD=1 && ' \
             '_zuvatool && echo "${COMPREPLY[*]}"'
    env = installed_env(root, run.work, {})
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash",
                           str(root / BASH_COMPLETION)], capture_output=True, text=True,
                          env=env, timeout=60)
    run.check("the installed bash completion completes zuvatool's commands",
              done.returncode == 0 and "-F _zuvatool zuvatool" in done.stdout and
              done.stdout.splitlines()[-1] == "flash", done.stdout + done.stderr)


def installed_env(root, work, extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_")}
    env["PATH"] = str(root / "usr/bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    env.update(extra)
    return env


def check_upgrade(run, name, command, env, flash, cwd):
    """ZUVA with the default image, the offer taken, started by its name."""
    result = subprocess.run(command, input=b"y\n\n", capture_output=True, env=env, cwd=cwd,
                            timeout=120)
    ok = result.returncode == 0 and STEPS_FINISHED.search(result.stdout) is not None \
        and (cwd / "ZUVA.dfu").exists()
    run.check(name + ": the upgrade finishes, its DfuSe file in the working folder", ok,
              result.stdout[-600:] + result.stderr[-600:])
    stored = flash.read_bytes()[:len(DEFAULT_IMAGE)] if flash.exists() else b""
    run.check(name + ": the device's flash holds the default image", stored == DEFAULT_IMAGE)


def check_programs(run, root, args):
    work = run.work
    sim = work / "sim"
    sim.mkdir()
    env = installed_env(root, work, {"ZUVA_SIM": "default", "ZUVA_SIM_FLASH": str(sim / "flash.bin")})
    check_upgrade(run, "installed ZUVA, virtual device in process", ["ZUVA"], env,
                  sim / "flash.bin", sim)

    bus = work / "bus"
    bus.mkdir()
    env = installed_env(root, work, {})
    check_upgrade(run, "installed ZUVA under the installed zuva-devsim",
                  ["zuva-devsim", "--flash", str(bus / "flash.bin"), "--", "ZUVA"], env,
                  bus / "flash.bin", bus)
    # The command under the installed zuva-devsim has its library preloaded.
    result = subprocess.run(["zuva-devsim", "--", "sh", "-c", "echo $LD_PRELOAD"], capture_output=True,
                            text=True, env=env, cwd=bus, timeout=120, stdin=subprocess.DEVNULL)
    run.check("the installed zuva-devsim preloads its installed library into the command",
              os.path.realpath(root / "usr/lib/zuva/devsim/libzuva-devsim-usbfs.so")
              in [os.path.realpath(p) for p in result.stdout.split()],
              result.stdout + result.stderr)

    if args.with_tool:
        env = installed_env(root, work, {"ZUVA_SIM": "default"})
        result = subprocess.run(["zuvatool", "list", "--json"], capture_output=True, text=True,
                                env=env, cwd=work, timeout=120, stdin=subprocess.DEVNULL)
        try:
            events = [json.loads(line) for line in result.stdout.splitlines() if line.strip()]
        except ValueError:
            events = []
        run.check("installed zuvatool list --json lists the virtual device as JSON",
                  result.returncode == 0 and events and "Virtual DFU Device" in result.stdout,
                  result.stdout[-600:] + result.stderr[-600:])


def main():
    run = Run()
    args, work = run.args, run.work
    debs = build_packages(args, work)
    run.check("CPack builds the Debian packages zuva and zuva-devsim", debs is not None)
    if debs is None:
        return 1
    check_control(run, debs, args)
    root = work / "root"
    for deb in debs.values():
        subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    check_files(run, root, debs, args)
    check_completion(run, root, args)
    check_tool_manual(run, root, args)
    check_programs(run, root, args)
    for deb in debs.values():
        check_lintian(run, deb)
    return run.status()


if __name__ == "__main__":
    sys.exit(main())
