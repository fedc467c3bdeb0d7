#!/usr/bin/python3
"""The installed tool on its own: `cmake --install` of a release build,
the tree moved elsewhere, then bin/stubmedia (run directly and through a
link) makes the transforms of a real wixl package, packs it with the setup.exe of its own
share/setupstub/, and checks the medium. Nothing in the tree may point into
the source or build tree.

usage: tests/install/installed_tree.py [--build-dir build/release]"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import wine_env as w  # noqa: E402  (shared with the e2e tests)
from test_transform import LANGUAGES, build_product  # noqa: E402


def fail(message):
    print(f"installed tree: FAILED: {message}")
    sys.exit(1)


def run(tool, *args, cwd):
    proc = subprocess.run([str(tool)] + [str(a) for a in args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(REPO / "build" / "release"))
    build = Path(parser.parse_args().build_dir).resolve()
    if not (build / "CMakeCache.txt").is_file():
        fail(f"{build} is no configured build: cmake --preset release && cmake --build --preset release")

    with tempfile.TemporaryDirectory(prefix="setupstub-install-") as tmp:
        tmp = Path(tmp)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(tmp / "opt" / "setupstub")],
                       check=True, stdout=subprocess.DEVNULL)
        moved = tmp / "elsewhere" / "tools"
        moved.parent.mkdir()
        os.rename(tmp / "opt" / "setupstub", moved)
        shutil.rmtree(tmp / "opt")

        tool, launcher = moved / "bin" / "stubmedia", moved / "share" / "setupstub" / "setup.exe"
        for path in (tool, launcher):
            if not path.is_file() or path.is_symlink():
                fail(f"{path.relative_to(moved)} is not a file of the installed tree")
        for path in moved.rglob("*"):
            if path.is_symlink():
                fail(f"{path.relative_to(moved)} is a link, to {os.readlink(path)}")
            if path.is_file():
                data = path.read_bytes()
                for inside in (REPO, build):
                    if str(inside).encode() in data:
                        fail(f"{path.relative_to(moved)} holds the path {inside}")

        code, out, err = run(tool, "--version", cwd=tmp)
        if code != 0 or not out.startswith("stubmedia "):
            fail(f"--version gave {code}: {out}{err}")

        work = tmp / "work"
        (work / "input").mkdir(parents=True)
        upgrade_code, product_code = w.new_upgrade_code(), w.new_upgrade_code()
        builds = {language: build_product(work / "build" / f"{language}.msi", upgrade_code, product_code, language,
                                          *LANGUAGES[language]) for language in (1033, 1031)}
        shutil.copyfile(builds[1033], work / "input" / "Product.msi")
        # The installed tool makes the transforms too.
        for language in (1033, 1031):
            code, out, err = run(tool, "transform", builds[1033], builds[language], "-o",
                                 work / "input" / f"{language}.mst", cwd=tmp)
            if code != 0:
                fail(f"transform {language} gave {code}: {out}{err}")

        # Run from elsewhere, directly and through a link on the PATH's side.
        (tmp / "bin").mkdir()
        (tmp / "bin" / "stubmedia").symlink_to(tool)
        for name, program in (("direct", tool), ("linked", tmp / "bin" / "stubmedia")):
            medium = work / f"medium-{name}"
            code, out, err = run(program, "pack", work / "input", medium, "--upgrade-code", upgrade_code,
                                 "--map", "1031=1031", "--quiet", "--json", cwd=tmp)
            if code != 0:
                fail(f"pack ({name}) gave {code}: {out}{err}")
            report = json.loads(out)
            if not report["written"] or not all(f["verified"] for f in report["files"] if f["compressed"]):
                fail(f"pack ({name}) wrote no verified medium: {out}")
            if (medium / "setup.exe").read_bytes() != launcher.read_bytes():
                fail(f"pack ({name}) shipped another setup.exe than share/setupstub/setup.exe")
            code, out, err = run(program, "check", medium, cwd=tmp)
            if code != 0:
                fail(f"check ({name}) gave {code}: {out}{err}")
    print(f"installed tree: {build.name} installed, moved, packed and checked a medium with its own setup.exe")


if __name__ == "__main__":
    main()
