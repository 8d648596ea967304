#!/usr/bin/env python3
"""End-to-end cases of the upgrade against the virtual device: discovery and
its retry dialogue, the erase, upgrade, verify and leave steps with their
progress, the device faults along the way, and the flash the device is left
with."""

import re
import sys

import zuva_e2e as e2e
from zuva_e2e import Case

PROMPT = "No upgrade file given. Use default file? [y/n] "
FINAL = "\n Press any key to continue ..."
FOUND = "Device found: Virtual DFU Device, having [4] alternate targets \n"
NO_DEVICE = ("No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold "
             "ENTER)!\nRetry? [y/n] ")

ERASING = "Target 00: Erasing... 00%"
UPGRADING = "Target 00: Upgrading... 00%"
VERIFYING = "Target 00: Verifying... 00%"
LEAVING = "Leaving DFU mode... 00%"
# A step that reached 100 %, with its closing text over the "100%".
DONE = "\b\b\b100%\b\b\b\bfinished.\n"
ALL_STEPS = ERASING + DONE + UPGRADING + DONE + VERIFYING + DONE + LEAVING + DONE

FLASH = "flash.bin"
TRACE = "trace.txt"
WINDOW = e2e.FLASH_WINDOW_SIZE
# Bytes of the flash before the run, unlike both the erased value and any image.
OLD_FLASH_BYTE = 0x00


def collapse_progress(text):
    """Keeps the first "00%" of each label and the final "100%", and drops the
    in-place updates between them, whose number depends on timing."""
    return re.sub(r"(\x08\x08\x08\d\d%)+(?=\x08\x08\x08)", "", text)


def raw_bytes(size):
    """A raw image whose bytes differ from the fill and from one another."""
    return bytes((i * 31 + 7) % 251 for i in range(size))


def window(raw):
    return raw + b"\xff" * (WINDOW - len(raw))


def setup_all(*steps):
    def setup(ctx):
        for step in steps:
            step(ctx)
    return setup


def raw_file(size, name="fw.bin"):
    return lambda ctx: ctx.path(name).write_bytes(raw_bytes(size))


def old_flash(size=WINDOW, name=FLASH):
    """The device holds old firmware before the run."""
    return lambda ctx: ctx.path(name).write_bytes(bytes([OLD_FLASH_BYTE]) * size)


def profile(text):
    return lambda ctx: ctx.path("device.profile").write_text(text)


def sim_env(faults=None, profile_file=False, flash=True):
    env = {"ZUVA_SIM": "device.profile" if profile_file else "default", "ZUVA_SIM_TRACE": TRACE}
    if flash:
        env["ZUVA_SIM_FLASH"] = FLASH
    if faults:
        env["ZUVA_SIM_FAULTS"] = faults
    return env


def flash_of(ctx):
    return ctx.path(FLASH).read_bytes()


def first_difference(actual, expected):
    return next((i for i in range(min(len(actual), len(expected))) if actual[i] != expected[i]),
                min(len(actual), len(expected)))


def flash_holds(expected):
    def check(ctx):
        data = flash_of(ctx)
        assert data == expected, "flash (%d bytes) differs from the expected %d bytes at %d" % (
            len(data), len(expected), first_difference(data, expected))
    return check


def flash_untouched(ctx):
    flash_holds(bytes([OLD_FLASH_BYTE]) * WINDOW)(ctx)


def trace_lines(ctx):
    return ctx.path(TRACE).read_text().splitlines()


def request(ctx, number):
    """The trace line of request `number`, without its number."""
    for line in trace_lines(ctx):
        head, _, rest = line.partition(" ")
        if head == str(number):
            return rest
    raise AssertionError("request %d is not in the trace" % number)


def fault_hits(number, pattern):
    """The fault planned for request `number` landed where the case means it
    to; if the engine's request order changes, this names the fault."""
    def check(ctx):
        line = request(ctx, number)
        assert re.match(pattern, line), "request %d is %r, not %s" % (number, line, pattern)
    return check


def file_holds(name, data):
    def check(ctx):
        assert ctx.path(name).read_bytes() == data, "%s was written" % name
    return check


def gone_after_the_leave_request(ctx):
    """The device answered the leave request and was gone for every request
    after it, its status first."""
    names = [line.split(" ", 1)[1] for line in trace_lines(ctx)]
    leave = max(i for i, name in enumerate(names) if name == "DNLOAD 0 0 0 -> ok")
    after = names[leave + 1:]
    assert after and after[0] == "GETSTATUS 0 0 6 -> gone", "after the leave request: %r" % after
    assert all(name.endswith("-> gone") for name in after), "after the leave request: %r" % after


def checks(*steps):
    def check(ctx):
        for step in steps:
            step(ctx)
    return check


def no_data_transfer(ctx):
    """No block of data went to or came from the device: no step after a
    failed one ran."""
    for line in trace_lines(ctx):
        name, _, args = line.partition(" ")[2].partition(" ")
        block = int(args.split()[0]) if args and args[0].isdigit() else 0
        assert name != "UPLOAD" and not (name == "DNLOAD" and block >= 2), \
            "data transfer: %s" % line


def erased_then_old(erased_end, old_start):
    """The sectors before `erased_end` are erased; from `old_start` on the old
    firmware is still there."""
    def check(ctx):
        data = flash_of(ctx)
        assert data[:erased_end] == b"\xff" * erased_end, "the first sectors are not erased"
        assert data[old_start:] == bytes([OLD_FLASH_BYTE]) * (WINDOW - old_start), \
            "sectors after the failure were touched"
    return check


def programmed_in_part(raw):
    """Programming began with the image and stopped before its end; the rest
    of the flash is erased."""
    def check(ctx):
        data = flash_of(ctx)
        assert data[:2048] == raw[:2048], "the first block is not programmed"
        assert data[len(raw) - 2048:len(raw)] != raw[-2048:], "the last block is programmed"
        assert data[len(raw):] == b"\xff" * (WINDOW - len(raw)), "the fill is not erased"
    return check


def one_bit_flipped(expected, address):
    """The flash holds the image but for the lowest bit of one byte."""
    def check(ctx):
        wanted = bytearray(expected)
        wanted[address] ^= 0x01
        flash_holds(bytes(wanted))(ctx)
    return check


DEFAULT_IMAGE = e2e.DEFAULT_IMAGE.read_bytes()
RAW_SIZE = 100000
RAW = raw_bytes(RAW_SIZE)
SMALL_MAP = 4 * 16 * 1024

OTHER_FLASH = "other.bin"


def two_devices(separator):
    """The default device, then the board of the profile."""
    return {"ZUVA_SIM": "default" + separator + "device.profile",
            "ZUVA_SIM_FLASH": OTHER_FLASH + separator + FLASH,
            "ZUVA_SIM_TRACE": "other.txt" + separator + TRACE}


BOARD_RAW_SIZE = 20000
BOARD_RAW = raw_bytes(BOARD_RAW_SIZE)
# The whole map is erased, then the image programmed.
BOARD_FLASH = BOARD_RAW + b"\xff" * (SMALL_MAP - BOARD_RAW_SIZE)
BOARD_PROFILE = "description = Real Board\nalt = @Internal Flash  /0x08000000/04*016Kg\n"

# Request numbers of the default device's run with the default image: 1-8
# find and check the device, the erase launch opens it at 9, the fourth
# sector erase is polled at 33, the download sends its blocks from 67 on.
ERASE_LAUNCH_REQUEST = 9
FOURTH_ERASE_STATUS_REQUEST = 33
DOWNLOAD_BLOCK_REQUEST = 100

CASES = [
    Case("default_image_upgrades_the_device",
         PROMPT + "Success for 'default BIN' !\n" + FOUND + ALL_STEPS + FINAL, 0,
         stdin=b"y\n\n", env=sim_env(), normalize=collapse_progress,
         check=flash_holds(window(DEFAULT_IMAGE))),
    Case("raw_file_upgrades_old_firmware",
         "Success for 'fw.bin' !\n" + FOUND + ALL_STEPS + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(), normalize=collapse_progress,
         setup=setup_all(raw_file(RAW_SIZE), old_flash()), check=flash_holds(window(RAW))),

    # Discovery and its dialogue.
    Case("no_device_retried_once_then_declined",
         "Success for 'fw.bin' !\n" + NO_DEVICE + NO_DEVICE + FINAL, 0,
         args=["fw.bin"], stdin=b"y\nn\n\n", setup=raw_file(1000)),
    Case("plain_dfu_revision_is_refused",
         "Success for 'fw.bin' !\nBad DFU protocol version. Should be 1.1A" + NO_DEVICE + FINAL, 0,
         args=["fw.bin"], stdin=b"n\n\n", env=sim_env(profile_file=True),
         setup=setup_all(raw_file(1000), old_flash(),
                         profile("description = Virtual DFU Device\ndfu-version = 0x0110\n")),
         check=checks(flash_untouched, no_data_transfer)),
    # A plain DFU device as the virtual device models it (named alternate
    # settings, no maps) meets the same refusal, and nothing is written.
    Case("plain_dfu_device_is_refused",
         "Success for 'fw.bin' !\nBad DFU protocol version. Should be 1.1A" + NO_DEVICE + FINAL, 0,
         args=["fw.bin"], stdin=b"n\n\n", env=sim_env(profile_file=True),
         setup=setup_all(raw_file(1000), old_flash(),
                         profile("description = Plain Board\ndfu-version = 0x0100\n"
                                 "attributes = 0x07\nmemory-size = 524288\nalt = Application\n")),
         check=checks(flash_untouched, no_data_transfer)),
    Case("memory_map_without_at_sign_is_refused",
         "Success for 'fw.bin' !\nUnable to find or decode device mapping... Bad Firmware"
         + NO_DEVICE + FINAL, 0,
         # Without a map the device has no flash to keep in a file.
         args=["fw.bin"], stdin=b"n\n\n", env=sim_env(profile_file=True, flash=False),
         setup=setup_all(raw_file(1000), profile(
             "description = Virtual DFU Device\n"
             "alt = Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg\n")),
         check=no_data_transfer),
    # The retry after an unplug lists nothing and checks the path it found
    # before once more.
    Case("unplugged_device_keeps_its_path_for_the_retry",
         "Success for 'fw.bin' !\nBad DFU protocol version. Should be 1.1A" + NO_DEVICE
         + "Unable to get descriptors... Bad Firmware" + NO_DEVICE
         + "Unable to get descriptors... Bad Firmware" + NO_DEVICE + FINAL, 0,
         args=["fw.bin"], stdin=b"y\ny\nn\n\n", env=sim_env("unplug@3", profile_file=True),
         setup=setup_all(raw_file(1000),
                         profile("description = Virtual DFU Device\ndfu-version = 0x0110\n")),
         check=fault_hits(3, r"GET_DEVICE_DESCRIPTOR -> gone")),
    Case("device_without_description_is_unnamed",
         "Success for 'fw.bin' !\nDevice found: (Unnamed DFU device), having [4] alternate "
         "targets \n" + ALL_STEPS + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(profile_file=True),
         normalize=collapse_progress,
         setup=setup_all(raw_file(RAW_SIZE), profile("timing = fast\n")),
         check=flash_holds(window(RAW))),

    # Faults of the device during the steps.
    Case("erase_ends_with_dfu_error_part_way",
         PROMPT + "Success for 'default BIN' !\n" + FOUND + ERASING
         + "\b\b\boperation failed! Error Code: DFU error\n" + FINAL, 0,
         stdin=b"y\n\n", env=sim_env("status=0x0A:5@%d" % FOURTH_ERASE_STATUS_REQUEST),
         normalize=collapse_progress, setup=old_flash(),
         check=checks(fault_hits(FOURTH_ERASE_STATUS_REQUEST, r"GETSTATUS .* status=10 state=5"),
                      erased_then_old(3 * 16 * 1024, 4 * 16 * 1024),
                      no_data_transfer)),
    Case("device_unplugged_before_the_erase",
         PROMPT + "Success for 'default BIN' !\n" + FOUND + ERASING
         + "\b\b\bunable to launch operation! Error Code: Unknown error 0x12340005.\n" + FINAL, 0,
         stdin=b"y\n\n", env=sim_env("unplug@%d" % ERASE_LAUNCH_REQUEST),
         normalize=collapse_progress, setup=old_flash(),
         check=checks(fault_hits(ERASE_LAUNCH_REQUEST, r"GET_DEVICE_DESCRIPTOR -> gone"),
                      flash_untouched)),
    Case("device_unplugged_during_the_download",
         PROMPT + "Success for 'default BIN' !\n" + FOUND + ERASING + DONE + UPGRADING
         + "\b\b\boperation failed! Error Code: Unexpected error\n" + FINAL, 0,
         stdin=b"y\n\n", env=sim_env("unplug@%d" % DOWNLOAD_BLOCK_REQUEST),
         normalize=collapse_progress, setup=old_flash(),
         check=checks(fault_hits(DOWNLOAD_BLOCK_REQUEST, r"(DNLOAD|GETSTATUS) .* -> gone"),
                      programmed_in_part(DEFAULT_IMAGE))),
    # A flash cell gone bad: the verify sees it, and the device still leaves
    # DFU mode.
    Case("verify_reports_a_corrupted_byte",
         PROMPT + "Success for 'default BIN' !\n" + FOUND + ERASING + DONE + UPGRADING + DONE
         + VERIFYING + "\b\b\b100%\b\b\b\bfinished, but data not matching!\n" + LEAVING + DONE
         + FINAL, 0,
         stdin=b"y\n\n", env=sim_env("corrupt@0x08000010"), normalize=collapse_progress,
         check=one_bit_flipped(window(DEFAULT_IMAGE), 0x10)),
    # The device's flash is smaller than the image: the part it has is
    # erased, programmed and verified, and the verify reports the data that
    # never reached the device.
    Case("device_map_smaller_than_the_image",
         "Success for 'fw.bin' !\nDevice found: Small Flash, having [1] alternate targets \n"
         + ERASING + DONE + UPGRADING + DONE + VERIFYING
         + "\b\b\b100%\b\b\b\bfinished, but data not matching!\n" + LEAVING + DONE + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(profile_file=True), normalize=collapse_progress,
         setup=setup_all(raw_file(RAW_SIZE), old_flash(SMALL_MAP), profile(
             "description = Small Flash\nalt = @Internal Flash  /0x08000000/04*016Kg\n")),
         check=flash_holds(RAW[:SMALL_MAP])),
    # A device that does not announce that it detaches by itself cannot be
    # made to leave DFU mode; it is programmed all the same.
    Case("device_that_cannot_leave_dfu_mode",
         "Success for 'fw.bin' !\n" + FOUND + ERASING + DONE + UPGRADING + DONE + VERIFYING + DONE
         + LEAVING + "\b\b\bthis feature is not supported by this firmware.\n" + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(profile_file=True), normalize=collapse_progress,
         setup=setup_all(raw_file(RAW_SIZE), profile(
             "description = Virtual DFU Device\nattributes = 0x03\n")),
         check=flash_holds(window(RAW))),

    # Real bootloaders. A small flash keeps the real-timing cases short:
    # four 16 KiB sectors to erase and ten blocks to program.
] + [
    Case("bootloader_" + name,
         "Success for 'fw.bin' !\nDevice found: Real Board, having [1] alternate targets \n"
         + ALL_STEPS + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(profile_file=True), normalize=collapse_progress,
         setup=setup_all(raw_file(BOARD_RAW_SIZE), old_flash(SMALL_MAP),
                         profile(BOARD_PROFILE + keys)),
         check=checks(flash_holds(BOARD_FLASH), *extra))
    for name, keys, extra in [
        # The status answer is held for the whole erase of each sector.
        ("status_held_through_the_erase",
         "timing = real\nstatus-hold = yes\nerase-us-per-kib = 62500\n", ()),
        # Announced poll time-outs far below and above the real busy time.
        ("poll_timeout_below_the_busy_time", "timing = real\npoll-timeout = 1\n", ()),
        ("poll_timeout_above_the_busy_time", "timing = real\npoll-timeout = 300\n", ()),
        ("flash_times_of_the_profile",
         "timing = real\nerase-us-per-kib = 20000\nprogram-us-per-kib = 10000\n"
         "mass-erase-ms = 30000\n", ()),
        # The leave request resets the device without an answer: the removal
        # is what counts.
        ("leave_that_resets_at_once", "leave = reset\n",
         (gone_after_the_leave_request,)),
        ("serial_of_its_own", "serial = auto\n", ()),
    ]
] + [
    # Two devices of one serial: ZUVA takes the one listed last and leaves
    # the other alone.
    Case("bootloader_two_devices_the_last_listed_is_upgraded",
         "Success for 'fw.bin' !\nDevice found: Real Board, having [1] alternate targets \n"
         + ALL_STEPS + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", normalize=collapse_progress,
         env=lambda platform: two_devices(";" if platform == "windows" else ":"),
         setup=setup_all(raw_file(BOARD_RAW_SIZE), old_flash(SMALL_MAP), profile(BOARD_PROFILE),
                         old_flash(WINDOW, OTHER_FLASH)),
         check=checks(flash_holds(BOARD_FLASH),
                      file_holds(OTHER_FLASH, bytes([OLD_FLASH_BYTE]) * WINDOW))),
    # Read-out protection: the erase is refused; nothing is written.
    Case("bootloader_protected_device_refuses_the_erase",
         "Success for 'fw.bin' !\nDevice found: Real Board, having [1] alternate targets \n"
         + ERASING + "\b\b\boperation failed! Error Code: Unexpected error\n" + FINAL, 0,
         args=["fw.bin"], stdin=b"\n", env=sim_env(profile_file=True), normalize=collapse_progress,
         setup=setup_all(raw_file(BOARD_RAW_SIZE), old_flash(SMALL_MAP),
                         profile(BOARD_PROFILE + "protected = yes\n")),
         check=checks(flash_holds(bytes([OLD_FLASH_BYTE]) * SMALL_MAP), no_data_transfer)),
]

if __name__ == "__main__":
    sys.exit(e2e.main(CASES))
