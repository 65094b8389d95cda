#!/usr/bin/env python3
"""Mutation score of the fault sweep over hand-made driver bugs.

Copies the driver's sources (driver/, kernel/, steps/, cmake/ and, for the
amd64 image's signature, test_signing/) into a scratch folder, builds the
i386 or the amd64 image there (--machine) once as it is and once per mutant
in driver_mutants.py, and runs `quarnhold-run --sweep` on each mutant image. A
mutant is killed when the sweep fails it (exit status 1) and survives when
every run holds every rule (exit status 0). The unmutated image must hold, or
the score would mean nothing.

A mutant whose text is not in the sources does not apply (the sources are an
older driver, say); one that does not compile, or that compiles to the very
bytes of the unmutated image, is left out of the score.

    tests/mutation/mutation_score.py --run build/tools/quarnhold-run
    tests/mutation/mutation_score.py --run build/tools/quarnhold-run --machine amd64
    tests/mutation/mutation_score.py --run OLD/tools/quarnhold-run --source OLD
    tests/mutation/mutation_score.py --run build/tools/quarnhold-run --named --single-faults --expect-killed
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver_mutants import MUTANTS  # noqa: E402

SOURCE_FOLDERS = ("driver", "kernel", "steps", "cmake")
# Copied when there: older sources have no amd64 image to sign.
OPTIONAL_FOLDERS = ("test_signing",)
# The image project's toolchain file for each machine.
TOOLCHAINS = {"i386": "i686-windows-kernel.cmake", "amd64": "amd64-windows-kernel.cmake"}


def run(command, **kwargs):
    """Runs `command` quietly; returns the finished process."""
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


class ScratchBuild:
    """The driver's sources and the image's build folder in a scratch folder."""

    def __init__(self, source, scratch, cmake, machine):
        self.cmake = cmake
        self.source = os.path.join(scratch, "src")
        self.build = os.path.join(scratch, "build")
        for folder in SOURCE_FOLDERS + OPTIONAL_FOLDERS:
            if folder in OPTIONAL_FOLDERS and not os.path.isdir(os.path.join(source, folder)):
                continue
            shutil.copytree(os.path.join(source, folder), os.path.join(self.source, folder), symlinks=True)
        toolchain = os.path.join(self.source, "cmake", TOOLCHAINS[machine])
        if not os.path.exists(toolchain):
            raise RuntimeError(f"the sources build no {machine} image: there is no cmake/{TOOLCHAINS[machine]}")
        self.pristine = {}
        # Whether a header changed since the last build: see compile().
        self.header_changed = False
        configured = run([cmake, "-S", os.path.join(self.source, "cmake", "kernel-image"), "-B", self.build,
                          "-G", "Ninja",
                          "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                          "-DQUARNHOLD_GUEST_TEST_DRIVERS=OFF"])
        if configured.returncode != 0:
            raise RuntimeError("cannot configure the image's build:\n" + configured.stdout)

    def image(self):
        return os.path.join(self.build, "quarnhold.sys")

    def restore(self):
        """Puts back every file a mutant changed."""
        for path, text in self.pristine.items():
            self.write(path, text)
            self.header_changed = self.header_changed or path.endswith(".h")
        self.pristine.clear()

    def replace(self, relative, old, new):
        """Replaces the one occurrence of `old`; False when it is not there exactly once."""
        path = os.path.join(self.source, relative)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if text.count(old) != 1:
            return False
        self.pristine.setdefault(path, text)
        self.header_changed = self.header_changed or path.endswith(".h")
        self.write(path, text.replace(old, new))
        return True

    def write(self, path, text):
        """Writes a source, dated after the last image, so the next build cannot take it for built."""
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
        if os.path.exists(self.image()):
            built = os.stat(self.image()).st_mtime_ns
            if os.stat(path).st_mtime_ns <= built:
                # A file system that keeps whole seconds only.
                os.utime(path, ns=(built + 1_000_000_000, built + 1_000_000_000))

    def compile(self):
        """Builds the image; its bytes, or None.

        Only what a mutant or its undoing changed is compiled again, unless a
        header changed: then the build starts from scratch, since an older
        tree's build may not track headers, and its image would quietly keep
        the old header's code.
        """
        if self.header_changed:
            run([self.cmake, "--build", self.build, "--target", "clean"])
            self.header_changed = False
        built = run([self.cmake, "--build", self.build])
        if built.returncode != 0:
            return None
        with open(self.image(), "rb") as f:
            return f.read()


def sweep(quarnhold_run, image, single_faults):
    """quarnhold-run's exit status for a sweep of `image`."""
    command = [quarnhold_run, "--sweep", image]
    if single_faults:
        command.insert(2, "--single-faults")
    return run(command).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", required=True, help="the quarnhold-run that sweeps each mutant")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."),
                        help="the root holding driver/, kernel/, steps/ and cmake/ (default: this checkout)")
    parser.add_argument("--cmake", default="cmake", help="the cmake that builds the images")
    parser.add_argument("--machine", choices=sorted(TOOLCHAINS), default="i386",
                        help="the image to build and sweep (default: i386)")
    parser.add_argument("--single-faults", action="store_true", help="sweep one fault per run only")
    parser.add_argument("--named", action="store_true", help="only the mutants marked named")
    parser.add_argument("--only", default="", help="comma-separated mutant names")
    parser.add_argument("--expect-killed", action="store_true",
                        help="exit 1 unless every mutant that applies is killed")
    arguments = parser.parse_args()

    chosen = [m for m in MUTANTS if (not arguments.named or m.get("named"))
              and (not arguments.only or m["name"] in arguments.only.split(","))]
    quarnhold_run = os.path.abspath(arguments.run)
    counts = {"killed": 0, "survived": 0, "does not apply": 0, "does not build": 0, "same image": 0, "error": 0}
    with tempfile.TemporaryDirectory(prefix="quarnhold-mutants-") as scratch:
        try:
            build = ScratchBuild(os.path.abspath(arguments.source), scratch, arguments.cmake, arguments.machine)
        except RuntimeError as failure:
            print(failure, file=sys.stderr)
            return 2
        original = build.compile()
        if original is None:
            print("the unmutated sources do not build", file=sys.stderr)
            return 2
        if sweep(quarnhold_run, build.image(), arguments.single_faults) != 0:
            print("the unmutated image fails the sweep, so no mutant's fate means anything", file=sys.stderr)
            return 2
        for mutant in chosen:
            applied = build.replace(mutant["file"], mutant["old"], mutant["new"])
            if applied and "then" in mutant:
                applied = build.replace(mutant["file"], mutant["then"]["old"], mutant["then"]["new"])
            if not applied:
                fate = "does not apply"
            else:
                image = build.compile()
                if image is None:
                    fate = "does not build"
                elif image == original:
                    fate = "same image"
                else:
                    status = sweep(quarnhold_run, build.image(), arguments.single_faults)
                    fate = {0: "survived", 1: "killed"}.get(status, "error")
            build.restore()
            counts[fate] += 1
            print(f"{fate:15} {mutant['name']}{'  (named)' if mutant.get('named') else ''}", flush=True)

    scored = counts["killed"] + counts["survived"]
    print(f"mutation score: {counts['killed']} of {scored} mutants killed ({counts['survived']} survived; "
          f"{counts['does not apply']} do not apply, {counts['does not build']} do not build, "
          f"{counts['same image']} give the unmutated image, {counts['error']} errors)")
    if counts["error"]:
        return 2
    if arguments.expect_killed and counts["survived"]:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
