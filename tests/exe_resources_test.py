#!/usr/bin/env python3
"""Reads the resources and imports of the built ZUVA.exe back and checks
them: the default image (RCDATA 101, English UK), the application title
(string 103), the version record 5.8.0.1 with its named entries, the manifest
(run as invoker, DPI-aware, UTF-8 code page, long paths), and a static build
that needs no DLL beside it. With --tool, the same of zuvatool.exe but the
image and the title, which it does not have.

Usage: exe_resources_test.py ZUVA.exe default_image.bin
       exe_resources_test.py --tool zuvatool.exe
"""

import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_STRING, RT_RCDATA, RT_VERSION, RT_MANIFEST = 6, 10, 16, 24
LANG_ENGLISH_UK, LANG_ENGLISH_US, LANG_NEUTRAL = 2057, 1033, 0


def resources(pe):
    """{(type, id): [(language, bytes)]} for every resource of the file."""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                found.setdefault((type_entry.id, name_entry.id), []).append(
                    (lang_entry.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def string_from_table(block, index):
    """String `index` (0-15) of a string-table block: UTF-16 strings, each
    after its 16-bit length."""
    offset = 0
    for _ in range(index):
        offset += 2 + 2 * struct.unpack_from("<H", block, offset)[0]
    length = struct.unpack_from("<H", block, offset)[0]
    return block[offset + 2:offset + 2 + 2 * length].decode("utf-16-le")


# The named entries of each executable's version record.
VERSION_STRINGS = {
    "ZUVA.exe": b"ZUVA upgrade application",
    "zuvatool.exe": b"ZUVA scripting tool",
}


def check(pe, image, faults, name="ZUVA.exe"):
    """image: the default image the executable carries, or None for one that
    carries none (zuvatool.exe)."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") or not hasattr(pe, "VS_FIXEDFILEINFO"):
        faults.append("no resources or no version record")
        return
    found = resources(pe)

    if image is not None:
        if found.get((RT_RCDATA, 101)) != [(LANG_ENGLISH_UK, image)]:
            faults.append("RCDATA 101 is not the default image in English (UK) alone")

        block = found.get((RT_STRING, 103 // 16 + 1), [])
        if [lang for lang, _ in block] != [LANG_NEUTRAL] or \
                string_from_table(block[0][1], 103 % 16) != "ZUVA":
            faults.append("string 103 is not the neutral title \"ZUVA\"")

    if [lang for lang, _ in found.get((RT_VERSION, 1), [])] != [LANG_ENGLISH_UK]:
        faults.append("version record 1 is not in English (UK) alone")
    fixed = pe.VS_FIXEDFILEINFO[0]
    five_eight_zero_one = (5 << 16 | 8, 0 << 16 | 1)
    if (fixed.FileVersionMS, fixed.FileVersionLS) != five_eight_zero_one or \
            (fixed.ProductVersionMS, fixed.ProductVersionLS) != five_eight_zero_one:
        faults.append("fixed version is not 5.8.0.1")
    if fixed.FileFlags & fixed.FileFlagsMask or fixed.FileOS != 0x40004 or fixed.FileType != 1:
        faults.append("fixed part: flags 0x%X, OS 0x%X, type %d" %
                      (fixed.FileFlags, fixed.FileOS, fixed.FileType))
    tables = {table.LangID: table.entries
              for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for table in info.StringTable}
    strings = tables.get(b"040904b0") or tables.get(b"040904B0")
    expected = {b"FileDescription": VERSION_STRINGS[name], b"InternalName": name.encode(),
                b"OriginalFilename": name.encode(), b"ProductName": b"ZUVA",
                b"FileVersion": b"5.8.0.1", b"ProductVersion": b"5.8.0.1"}
    if strings is None:
        faults.append("no string block for U.S. English, Unicode: %s" % list(tables))
    else:
        for key, value in expected.items():
            if strings.get(key) != value:
                faults.append("version string %s is %r" % (key.decode(), strings.get(key)))
        for key in (b"CompanyName", b"LegalCopyright"):
            if not strings.get(key):
                faults.append("version string %s is missing" % key.decode())

    manifests = [(key, lang) for key, entries in found.items() if key[0] == RT_MANIFEST
                 for lang, _ in entries]
    if manifests != [((RT_MANIFEST, 1), LANG_ENGLISH_US)]:
        faults.append("manifests: %s, expected one, id 1, English (US)" % manifests)
    else:
        root = ElementTree.fromstring(found[(RT_MANIFEST, 1)][0][1])
        level = next((e for e in root.iter() if e.tag.endswith("requestedExecutionLevel")), None)
        if level is None or level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
            faults.append("manifest does not ask to run as invoker without UI access")
        dpi = next((e for e in root.iter() if e.tag.endswith("}dpiAware")), None)
        if dpi is None or dpi.text.strip().lower() != "true":
            faults.append("manifest does not declare the program DPI-aware")
        # File names outside the ANSI code page and paths past 260 characters
        # reach the narrow file calls.
        settings = {e.tag.split("}")[-1]: (e.tag, (e.text or "").strip()) for e in root.iter()}
        wanted = {
            "activeCodePage": ("{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
                               "activeCodePage", "UTF-8"),
            "longPathAware": ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
                              "longPathAware", "true"),
        }
        for name, value in wanted.items():
            if settings.get(name) != value:
                faults.append("manifest setting %s is %r" % (name, settings.get(name)))

    # A static build imports system DLLs only, none of the compiler's runtime.
    dlls = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    runtime = [dll for dll in dlls if dll.lower().startswith("lib")]
    if runtime:
        faults.append("needs runtime DLLs: %s" % runtime)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    if argv[1] == "--tool":
        path, image, name = argv[2], None, "zuvatool.exe"
    else:
        with open(argv[2], "rb") as source:
            path, image, name = argv[1], source.read(), "ZUVA.exe"
    pe = pefile.PE(path)
    faults = []
    check(pe, image, faults, name)
    for fault in faults:
        print("FAIL " + fault)
    print("%s: %s" % (path, "faults" if faults else "resources and imports ok"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
