"""What the package tests share: their command line, a fresh work folder,
and the record of checks.

Command line: TEST [--cpack CPACK] --build-dir DIR --work-dir DIR --version V
              --with-tool 0|1
"""
import argparse
import shutil
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]


class Run:
    def __init__(self):
        parser = argparse.ArgumentParser()
        parser.add_argument("--cpack", default="cpack")
        parser.add_argument("--build-dir", required=True)
        parser.add_argument("--work-dir", required=True)
        parser.add_argument("--version", required=True)
        parser.add_argument("--with-tool", type=int, choices=(0, 1), required=True)
        self.args = parser.parse_args()
        self.work = Path(self.args.work_dir)
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.failures = []

    def check(self, name, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + str(detail)))
        if not condition:
            self.failures.append(name)

    def status(self):
        return 1 if self.failures else 0
