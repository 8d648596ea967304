#!/usr/bin/env python3
"""Reads every #include of the product code and fails on one that points up
or sideways against the layers: the programs (app, tool) -> operations ->
device -> protocol/platform; dfufiles -> platform; sim -> protocol/platform;
protocol and common use nothing; the programs may read the version in
resources. A program's main.cpp may also install the virtual device (sim).
The platform's seams to its own backends and its per-system folders are
reached from inside platform only. Tests, their support headers, benchmarks
and fuzzers are not product code and may reach anything."""
import os
import re
import sys

# Folder -> the folders its files may include besides their own.
ALLOWED = {
    "common": set(),
    "protocol": set(),
    "platform": {"common", "protocol"},
    "dfufiles": {"common", "protocol", "platform"},
    "device": {"common", "protocol", "platform"},
    "operations": {"common", "protocol", "platform", "device", "dfufiles"},
    "app": {"common", "protocol", "platform", "device", "dfufiles", "operations", "resources"},
    "tool": {"common", "protocol", "platform", "device", "dfufiles", "operations", "resources"},
    "sim": {"common", "protocol", "platform"},
    "resources": set(),
}
# The executable's entry point creates the virtual device the environment asks for.
MAIN_MAY_ALSO = {"sim"}
# Headers a layer keeps to itself: its seams between the portable part and the
# per-system code, and the per-system folders (a trailing slash).
INTERNAL = {
    "platform": ("platform/device_events.h", "platform/system_backends.h", "platform/posix/",
                 "platform/win32/", "platform/libusb/", "platform/usb/"),
}
SOURCE = re.compile(r"\.(c|cc|cpp|h)$")
TEST_CODE = re.compile(r"(_test\.cpp|_test_support\.h)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def violations(root):
    found = []
    for layer in sorted(ALLOWED):
        for folder, _, files in os.walk(os.path.join(root, layer)):
            for name in sorted(files):
                if not SOURCE.search(name) or TEST_CODE.search(name):
                    continue
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root)
                allowed = ALLOWED[layer] | {layer}
                if name == "main.cpp":
                    allowed |= MAIN_MAY_ALSO
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for target in INCLUDE.findall(text):
                    top = target.split("/")[0]
                    if "/" not in target:
                        continue  # a header beside the file (C code of a driver)
                    if top not in ALLOWED:
                        found.append("%s includes %s: no such layer" % (relative, target))
                    elif top not in allowed:
                        found.append("%s includes %s: %s may not use %s" %
                                     (relative, target, layer, top))
                    elif top != layer and any(
                            target == inner or (inner.endswith("/") and target.startswith(inner))
                            for inner in INTERNAL.get(top, ())):
                        found.append("%s includes %s: internal to %s" % (relative, target, top))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print("%d include(s) against the layers" % len(found))
        return 1
    print("every include follows the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
