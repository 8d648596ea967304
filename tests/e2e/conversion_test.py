#!/usr/bin/env python3
"""End-to-end cases of the command line, the operator's answer and the
conversion of raw images into DfuSe files, with no device present: after a
successful conversion the program looks for a device, finds none and, with
no "y" left in the input, gives up."""

import fcntl
import os
import sys

import zuva_e2e as e2e
from zuva_e2e import Case

PROMPT = "No upgrade file given. Use default file? [y/n] "
USAGE = ("Usage: ZUVA.exe [bin_file] ...convert bin to dfu and upgrade\n"
         "                              device (erase, download, verify)\n"
         "       ZUVA.exe /?         ...show this help\n")
FINAL = "\n Press any key to continue ..."
NO_DEVICE = ("No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold "
             "ENTER)!\nRetry? [y/n] ")
TOO_LARGE = "Invalid file size! File is too large to create image.\n"

# Linux names the error by errno, Windows by its system error code.
ERROR_NOT_FOUND = {"linux": 2, "windows": 2}        # ENOENT, ERROR_FILE_NOT_FOUND
ERROR_DIRECTORY = {"linux": 21, "windows": 5}       # EISDIR, ERROR_ACCESS_DENIED
ERROR_IN_USE = {"linux": 11}                        # EWOULDBLOCK
ERROR_NOT_A_FILE = {"linux": 22, "windows": 87}     # EINVAL, ERROR_INVALID_PARAMETER

# A run that meets a FIFO must not wait for its other end.
FIFO_TIMEOUT_SECONDS = 20


def raw_bytes(size):
    """A raw image whose bytes differ from the fill and from one another."""
    return bytes((i * 31 + 7) % 251 for i in range(size))


def with_raw_file(name, size):
    def setup(ctx):
        ctx.path(name).write_bytes(raw_bytes(size))
    return setup


def converted(raw_name, dfu_name, size):
    """The DfuSe file is the conversion of the raw file, which is unchanged."""
    def check(ctx):
        e2e.check_window_dfuse(ctx.path(dfu_name), raw_bytes(size))
        assert ctx.path(raw_name).read_bytes() == raw_bytes(size), "raw file changed"
    return check


def no_dfuse_file(ctx):
    made = sorted(p.name for p in ctx.work_dir.iterdir() if p.suffix == ".dfu")
    assert not made, "DfuSe files written: %s" % made


def default_image_converted(ctx):
    e2e.check_window_dfuse(ctx.path("ZUVA.dfu"), e2e.DEFAULT_IMAGE.read_bytes())


def raw_file_in_directory(directory, name):
    def setup(ctx):
        ctx.path(directory).mkdir()
        with_raw_file(directory + "/" + name, 10)(ctx)
    return setup


def assert_missing(ctx, name):
    assert not ctx.path(name).exists(), "%s was made" % name


def with_locked_raw_file(name, size):
    """Another process holds the raw file open. The program opens files
    without sharing, which Linux builds as an exclusive lock."""
    def setup(ctx):
        with_raw_file(name, size)(ctx)
        held = open(ctx.path(name), "rb")
        fcntl.flock(held, fcntl.LOCK_EX)
        ctx.held.append(held)
    return setup


def default_image_beside_the_program(ctx):
    assert ctx.path(ctx.program_name).read_bytes() == ctx.exe.read_bytes(), "program changed"
    made = sorted(p.name for p in ctx.work_dir.iterdir() if p.suffix == ".dfu")
    assert made == [ctx.program_name + ".dfu"], "DfuSe files written: %s" % made
    e2e.check_window_dfuse(ctx.path(ctx.program_name + ".dfu"), e2e.DEFAULT_IMAGE.read_bytes())


def mkdir(name):
    def setup(ctx):
        ctx.path(name).mkdir()
    return setup


def mkfifo(name):
    def setup(ctx):
        os.mkfifo(ctx.path(name))
    return setup


def with_linked_dfuse_file(raw_name, dfu_name, size):
    """The DfuSe path is a symbolic link to the raw file."""
    def setup(ctx):
        with_raw_file(raw_name, size)(ctx)
        os.symlink(raw_name, ctx.path(dfu_name))
    return setup


def raw_file_kept(name, size):
    def check(ctx):
        assert ctx.path(name).read_bytes() == raw_bytes(size), "raw file changed"
    return check


# A path of more than 260 characters, relative to the working directory.
LONG_DIRECTORY = "/".join(["d" * 100] * 3)
UNICODE_NAME = "\u65e5\u672c.bin"


def utf8_text(text):
    """Text as the program prints it in UTF-8, in the harness's byte-wise
    form."""
    return text.encode("utf-8").decode("latin-1")


def with_unicode_raw_file(ctx):
    ctx.path(UNICODE_NAME).write_bytes(raw_bytes(10))


def with_long_path_raw_file(ctx):
    ctx.path(LONG_DIRECTORY).mkdir(parents=True)
    with_raw_file(LONG_DIRECTORY + "/fw.bin", 10)(ctx)


def open_error(path, errors):
    return lambda ctx: ("Error %08xh: Cannot open file \"%s\"\n" % (errors[ctx.platform], path)
                        + "Unable to create DFU file!\n" + FINAL)


def success(name):
    return "Success for '%s' !\n" % name + NO_DEVICE + FINAL


CASES = [
    # The command line without a file.
    Case("help", USAGE + FINAL, 0, args=["/?"]),
    Case("help_ignores_further_arguments", USAGE + FINAL, 0, args=["/?", "fw.bin"]),
    # A refused virtual-device setting is reported on standard error only.
    Case("refused_virtual_device_leaves_the_output_alone", USAGE + FINAL, 0, args=["/?"],
         env={"ZUVA_SIM": "no-such-profile.txt"}),
    # A virtual-device setting that names a FIFO is refused, not waited for.
    Case("profile_fifo_is_refused_at_once", USAGE + FINAL, 0, args=["/?"],
         env={"ZUVA_SIM": "profile.fifo"}, setup=mkfifo("profile.fifo"),
         timeout=FIFO_TIMEOUT_SECONDS, platforms=("linux",)),
    Case("flash_fifo_is_refused_at_once", USAGE + FINAL, 0, args=["/?"],
         env={"ZUVA_SIM": "default", "ZUVA_SIM_FLASH": "flash.fifo"},
         setup=mkfifo("flash.fifo"), timeout=FIFO_TIMEOUT_SECONDS, platforms=("linux",)),
    Case("answer_no", PROMPT + USAGE + FINAL, 0, stdin=b"n\n", check=no_dfuse_file),
    Case("answer_upper_case_yes_is_no", PROMPT + USAGE + FINAL, 0, stdin=b"Y\n",
         check=no_dfuse_file),
    Case("answer_enter_alone_is_no", PROMPT + USAGE + FINAL, 0, stdin=b"\n",
         check=no_dfuse_file),
    Case("end_of_input_is_no", PROMPT + USAGE + FINAL, 0, stdin=b"", check=no_dfuse_file),

    # The default image, written beside the program.
    Case("default_image", PROMPT + success("default BIN"), 0, stdin=b"y\n",
         check=default_image_converted),
    # 'e' is the discarded second character; the retry question takes "s\n".
    Case("default_image_answer_yes", PROMPT + success("default BIN"), 0, stdin=b"yes\n",
         check=default_image_converted),

    # Under another name (started through PATH as "zuva") the DfuSe path is
    # the program's own path with ".dfu" after it: the default image goes
    # there, and the program survives.
    Case("default_image_under_another_name_keeps_the_program",
         PROMPT + success("default BIN"), 0, stdin=b"y\n",
         program_name=lambda platform: "zuva.exe" if platform == "windows" else "zuva",
         check=default_image_beside_the_program),

    # A raw file named on the command line.
    Case("missing_file", "File [absent.bin] does not exist!\n" + FINAL, 1, args=["absent.bin"],
         check=no_dfuse_file),
    Case("option_like_name_is_a_file_name", "File [-?] does not exist!\n" + FINAL, 1,
         args=["-?"]),
    Case("directory", open_error("fw.bin", ERROR_DIRECTORY), 1, args=["fw.bin"],
         setup=mkdir("fw.bin"), check=no_dfuse_file),
    # Devices and FIFOs are no raw images: no empty image is upgraded, no
    # DfuSe file is made beside them, and a FIFO without a writer is not
    # waited for.
    Case("character_device", open_error("/dev/zero", ERROR_NOT_A_FILE), 1, args=["/dev/zero"],
         check=no_dfuse_file, platforms=("linux",)),
    Case("null_device", open_error("NUL", ERROR_NOT_A_FILE), 1, args=["NUL"],
         check=no_dfuse_file, platforms=("windows",)),
    Case("fifo", open_error("fw.bin", ERROR_NOT_A_FILE), 1, args=["fw.bin"],
         setup=mkfifo("fw.bin"), check=no_dfuse_file, timeout=FIFO_TIMEOUT_SECONDS,
         platforms=("linux",)),
    Case("raw_file_in_use", open_error("fw.bin", ERROR_IN_USE), 1, args=["fw.bin"],
         setup=with_locked_raw_file("fw.bin", 1000), check=no_dfuse_file, platforms=("linux",)),
    Case("raw_empty", success("fw.bin"), 0, args=["fw.bin"], setup=with_raw_file("fw.bin", 0),
         check=converted("fw.bin", "fw.dfu", 0)),
    Case("raw_1000_bytes", success("fw.bin"), 0, args=["fw.bin"],
         setup=with_raw_file("fw.bin", 1000), check=converted("fw.bin", "fw.dfu", 1000)),
    Case("raw_fills_the_window", success("fw.bin"), 0, args=["fw.bin"],
         setup=with_raw_file("fw.bin", 524288), check=converted("fw.bin", "fw.dfu", 524288)),
    Case("raw_one_byte_too_large", TOO_LARGE + "Unable to create DFU file!\n" + FINAL, 1,
         args=["fw.bin"], setup=with_raw_file("fw.bin", 524289), check=no_dfuse_file),
    Case("only_the_first_argument_counts", success("fw.bin"), 0, args=["fw.bin", "other.bin"],
         setup=with_raw_file("fw.bin", 1000), check=converted("fw.bin", "fw.dfu", 1000)),
    # A name without ".bin" keeps the raw image and gets ".dfu" appended.
    Case("upper_case_extension_keeps_the_raw_file", success("fw.BIN"), 0, args=["fw.BIN"],
         setup=with_raw_file("fw.BIN", 1000), check=converted("fw.BIN", "fw.BIN.dfu", 1000)),
    Case("every_bin_is_replaced", success("a.bin.bin"), 0, args=["a.bin.bin"],
         setup=with_raw_file("a.bin.bin", 10), check=converted("a.bin.bin", "a.dfu.dfu", 10)),
    # A DfuSe file that is the raw file itself, through a link, is refused
    # before anything is written.
    Case("dfu_linked_to_the_raw_file",
         "DFU file \"fw.dfu\" is the same file as \"fw.bin\"!\nUnable to create DFU file!\n"
         + FINAL, 1, args=["fw.bin"], setup=with_linked_dfuse_file("fw.bin", "fw.dfu", 1000),
         check=raw_file_kept("fw.bin", 1000), platforms=("linux",)),
    # The Windows program's narrow file calls take UTF-8 names (its manifest's
    # code page) and paths past 260 characters (its long-path setting). Wine's
    # narrow file calls stop at 260 characters whatever the manifest says, so
    # the long path runs on Linux only.
    Case("file_name_outside_the_ansi_code_page", utf8_text(success(UNICODE_NAME)), 0,
         args=[UNICODE_NAME], setup=with_unicode_raw_file,
         check=converted(UNICODE_NAME, "\u65e5\u672c.dfu", 10)),
    Case("path_longer_than_260_characters", success(LONG_DIRECTORY + "/fw.bin"), 0,
         args=[LONG_DIRECTORY + "/fw.bin"], setup=with_long_path_raw_file,
         check=converted(LONG_DIRECTORY + "/fw.bin", LONG_DIRECTORY + "/fw.dfu", 10),
         platforms=("linux",)),
    # The DfuSe file would go into a directory that does not exist.
    Case("dfu_directory_missing", "Unable to create DFU file!\n" + FINAL, 1,
         args=["x.bin/fw.bin"], setup=raw_file_in_directory("x.bin", "fw.bin"),
         check=lambda ctx: no_dfuse_file(ctx) or assert_missing(ctx, "x.dfu")),
]

if __name__ == "__main__":
    sys.exit(e2e.main(CASES))
