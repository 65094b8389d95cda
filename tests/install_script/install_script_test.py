#!/usr/bin/env python3
"""Runs install/quarnhold-service.cmd under Wine's cmd, once per scenario.

The script's tools (sc.exe, net.exe, fltmc.exe, certutil.exe) are copies of
fake_system_tool.exe in a make-believe %SystemRoot%\\System32, each answering
from a reply file the scenario writes and logging how it was called. Wine
sets SystemRoot and the machine variables in every process itself, so the
copy of the script under test gets them in its first lines instead. So each
branch of the script runs for real: the elevation check, the machine check,
the image's hash, the service left by an earlier run, every outcome of the
start, and the clean-up, from folders whose names hold "(1)" and "&".

Wine's cmd is not Windows' cmd: it has no %cmdcmdline%, so the pause after a
double-click is not exercised here; Windows' sc.exe, fltmc.exe and certutil
are not either, only their documented answers.

usage: install_script_test.py --wine WINE64 --script CMD --fake-tool EXE
"""

import argparse
import concurrent.futures
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

IMAGE_BYTES = b"MZ not really a driver, but bytes to hash"
START_AS_DESIGNED = (87, "[SC] StartService FAILED 87:\r\n\r\nThe parameter is incorrect.\r\n")
NOT_FOUND = (1060, "[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\r\n")


def reply(code, text=""):
    return (code, text)


# Each scenario: what differs from a good run on 32-bit Windows, and what
# must come of it. "tools" are the replies, keyed "<tool> <first argument>";
# "calls" the sc.exe subcommands in order; "said" fragments of the output.
SCENARIOS = [
    dict(name="start fails as designed", folder="quarnhold-1.1.0-i386 (1)",
         exit=0, calls=["query", "create", "start", "delete"],
         said=["matches its SHA-256", "as it does by design", "done. Look in C:\\Quarnhold\\test.txt"]),
    dict(name="folder with an ampersand", folder="R&D (copy) quarnhold",
         exit=0, calls=["query", "create", "start", "delete"], said=["matches its SHA-256", "as it does by design"]),
    dict(name="an sc.exe that always exits 0, ReactOS's", folder="q",
         tools={"sc start": reply(0, "[SC] StartService FAILED 317:\r\n\r\nplaceholder\r\n"),
                "sc query": reply(0, "[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\r\n")},
         exit=317, calls=["query", "create", "start", "delete"], said=["the start failed: error 317"]),
    dict(name="unsigned on 32-bit Windows", folder="q", tools={"sc start": reply(577, "[SC] StartService FAILED 577:\r\n")},
         exit=577, calls=["query", "create", "start", "delete"], said=["error 577", "Secure Boot off"]),
    dict(name="unsigned on 64-bit Windows", folder="q", image="AMD64", env={"PROCESSOR_ARCHITECTURE": "AMD64"},
         tools={"sc start": reply(577, "[SC] StartService FAILED 577:\r\n")},
         exit=577, calls=["query", "create", "start", "delete"], said=["bcdedit /set testsigning on"]),
    dict(name="blocked", folder="q", tools={"sc start": reply(1275, "[SC] StartService FAILED 1275:\r\n")},
         exit=1275, said=["blocked the driver, error 1275"]),
    dict(name="image not found by the kernel", folder="q", tools={"sc start": reply(2, "[SC] StartService FAILED 2:\r\n")},
         exit=2, said=["did not find the image"]),
    dict(name="service marked for deletion", folder="q",
         tools={"sc start": reply(1072, "[SC] StartService FAILED 1072:\r\n")},
         exit=1072, said=["marked for deletion, error 1072"]),
    dict(name="a start that succeeds", folder="q", tools={"sc start": reply(0, "SERVICE_NAME: quarnhold\r\n")},
         exit=1, said=["stays loaded"]),
    dict(name="not elevated", folder="q",
         tools={"fltmc": reply(-2147024891, "Error: Access is denied.\r\n"), "net session": reply(2)},
         exit=5, calls=[], said=["elevated command prompt"]),
    dict(name="no fltmc, elevated by net session", folder="q", missing=["fltmc.exe"],
         exit=0, calls=["query", "create", "start", "delete"]),
    dict(name="no PROCESSOR_ARCHITECTURE, no SysWOW64", folder="q", env={"PROCESSOR_ARCHITECTURE": None},
         exit=0, said=["taking this for x86 Windows"]),
    dict(name="no PROCESSOR_ARCHITECTURE, with SysWOW64", folder="q", env={"PROCESSOR_ARCHITECTURE": None},
         syswow64=True, exit=216, calls=[], said=["use the amd64 package"]),
    dict(name="32-bit prompt on 64-bit Windows, x86 image", folder="q",
         env={"PROCESSOR_ARCHITECTURE": "x86", "PROCESSOR_ARCHITEW6432": "AMD64"},
         exit=216, calls=[], said=["this is 64-bit AMD64 Windows", "use the amd64 package"]),
    dict(name="32-bit prompt on 64-bit Windows, AMD64 image", folder="q", image="AMD64",
         env={"PROCESSOR_ARCHITECTURE": "x86", "PROCESSOR_ARCHITEW6432": "AMD64"},
         exit=0, calls=["query", "create", "start", "delete"]),
    dict(name="AMD64 image on 32-bit Windows", folder="q", image="AMD64",
         exit=216, calls=[], said=["use the i386 package"]),
    dict(name="ARM64 Windows", folder="q", env={"PROCESSOR_ARCHITECTURE": "ARM64"},
         exit=216, calls=[], said=["for x86 and AMD64 Windows only"]),
    dict(name="image damaged", folder="q", damaged=True, exit=13, calls=[], said=["does not match its SHA-256"]),
    dict(name="Windows 7's certutil, spaces in the hash", folder="q (1)", spaced_hash=True, exit=0,
         said=["matches its SHA-256"]),
    dict(name="a certutil without SHA-256", folder="q",
         tools={"certutil -hashfile": reply(0, "SHA1 hash of x:\r\n0123456789abcdef0123456789abcdef01234567\r\n")},
         exit=0, said=["makes no SHA-256"]),
    dict(name="image missing", folder="q", no_image=True, exit=2, calls=[], said=["is missing"]),
    dict(name="service left by an earlier run", folder="q",
         tools={"sc query": reply(0, "SERVICE_NAME: quarnhold\r\n        TYPE               : 1  KERNEL_DRIVER\r\n")},
         exit=0, calls=["query", "delete", "create", "start", "delete"], said=["an earlier run left behind"]),
    dict(name="create refused", folder="q",
         tools={"sc create": reply(1073, "[SC] CreateService FAILED 1073:\r\n")},
         exit=1073, calls=["query", "create"], said=["could not register the service: error 1073"]),
    dict(name="clean-up refused", folder="q",
         tools={"sc delete": reply(1072, "[SC] DeleteService FAILED 1072:\r\n")},
         exit=1072, calls=["query", "create", "start", "delete"], said=["could not delete the service"]),
    dict(name="C:\\Quarnhold is a link", folder="q", link=True, exit=4393, calls=[],
         said=["is a junction or a symbolic link"]),
]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def write_reply(folder, key, answer):
    code, text = answer
    with open(os.path.join(folder, key + ".txt"), "w", newline="") as out:
        out.write(f"{code}\r\n{text}")


class Wine:
    """A Wine prefix of the test's own, with its server kept up between runs."""

    def __init__(self, wine, folder):
        self.wine = wine
        # Wine keeps its own scratch files under TMPDIR: the test's folder.
        self.env = dict(os.environ, WINEPREFIX=os.path.join(folder, "prefix"), WINEDEBUG="-all", TMPDIR=folder,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        server = os.path.join(os.path.dirname(wine), "wineserver")
        # In the foreground, so that it is this test's child and is stopped by its id.
        self.server = subprocess.Popen([server, "-f", "-p"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([wine, "wineboot", "-i"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)

    def cmd(self, script):
        return subprocess.run([self.wine, "cmd", "/c", windows_path(script)], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)

    def drive_c(self):
        return os.path.join(self.env["WINEPREFIX"], "drive_c")

    def close(self):
        self.server.kill()
        self.server.wait()


# How long a scenario waits for Wine to start its cmd at all.
WINE_START_PATIENCE_SECONDS = 300


def wine_did_not_start_cmd(output):
    """Whether Wine's start.exe said it could not start the command."""
    return "ShellExecuteEx failed" in output


def run_scenario(wine, scenario, script_text, fake_tool, root):
    top = os.path.join(root, "".join(c if c.isalnum() else "-" for c in scenario["name"]))
    system_root = os.path.join(top, "Windows")
    tools = os.path.join(system_root, "System32")
    os.makedirs(os.path.join(tools, "drivers"))
    if scenario.get("syswow64"):
        os.makedirs(os.path.join(system_root, "SysWOW64"))
    for tool in ("sc.exe", "net.exe", "fltmc.exe", "certutil.exe"):
        if tool not in scenario.get("missing", []):
            shutil.copy(fake_tool, os.path.join(tools, tool))

    package = os.path.join(top, scenario["folder"])
    os.makedirs(package)
    machine = scenario.get("image", "x86")
    # What the release packaging does for the amd64 package.
    stamped = script_text.replace('set "IMAGE_MACHINE=x86"', f'set "IMAGE_MACHINE={machine}"')
    # Wine gives every process its own SystemRoot and machine variables,
    # whatever its parent set: so the copy under test is told them in its
    # own first lines, and finds System32 in the scenario's folder.
    env = {"PROCESSOR_ARCHITECTURE": "x86", "PROCESSOR_ARCHITEW6432": None}
    env.update(scenario.get("env", {}))
    setup = "".join(f'set "{name}={value or ""}"\r\n' for name, value in env.items())
    stamped = stamped.replace("setlocal EnableExtensions DisableDelayedExpansion\r\n",
                              "setlocal EnableExtensions DisableDelayedExpansion\r\n" + setup, 1)
    stamped = stamped.replace("%SystemRoot%", windows_path(system_root))
    with open(os.path.join(package, "quarnhold-service.cmd"), "w", newline="") as out:
        out.write(stamped)
    if not scenario.get("no_image"):
        with open(os.path.join(package, "quarnhold.sys"), "wb") as out:
            out.write(IMAGE_BYTES)
    digest = hashlib.sha256(IMAGE_BYTES).hexdigest()
    with open(os.path.join(package, "SHA256SUMS"), "w", newline="") as out:
        listed = hashlib.sha256(b"other bytes").hexdigest() if scenario.get("damaged") else digest
        out.write(f"{listed}  quarnhold.sys\n")

    replies = os.path.join(top, "replies")
    os.makedirs(replies)
    shown = " ".join(digest[i:i + 2] for i in range(0, 64, 2)) if scenario.get("spaced_hash") else digest
    answers = {
        "sc query": NOT_FOUND,
        "sc create": reply(0, "[SC] CreateService SUCCESS\r\n"),
        "sc start": START_AS_DESIGNED,
        "sc delete": reply(0, "[SC] DeleteService SUCCESS\r\n"),
        "fltmc": reply(0, "Filter Name\r\n"),
        "net session": reply(0),
        "net helpmsg": reply(0, "\r\nMessage text.\r\n"),
        "certutil -hashfile": reply(0, f"SHA256 hash of {windows_path(package)}\\quarnhold.sys:\r\n{shown}\r\n"
                                       "CertUtil: -hashfile command completed successfully.\r\n"),
    }
    answers.update(scenario.get("tools", {}))
    for key, answer in answers.items():
        write_reply(replies, key, answer)

    temp = os.path.join(top, "temp")
    os.makedirs(temp)
    log = os.path.join(top, "calls.log")
    result = os.path.join(top, "result.txt")
    lines = ["@echo off", f'set "TEMP={windows_path(temp)}"',
             f'set "QUARNHOLD_FAKE_TOOLS_REPLIES={windows_path(replies)}"',
             f'set "QUARNHOLD_FAKE_TOOLS_LOG={windows_path(log)}"']
    # From the package's folder, by a child cmd: Wine's cmd loses an "exit /b N"
    # through "call", and its "cmd /c" splits a quoted path at "&".
    lines += [f'cd /d "{windows_path(package)}"', "cmd /c quarnhold-service.cmd /nopause",
              f'>"{windows_path(result)}" echo %errorlevel%']
    wrapper = os.path.join(top, "wrapper.cmd")
    with open(wrapper, "w", newline="") as out:
        out.write("\r\n".join(lines) + "\r\n")

    link = os.path.join(wine.drive_c(), "Quarnhold")
    if scenario.get("link"):
        os.makedirs(os.path.join(top, "elsewhere"))
        os.symlink(os.path.join(top, "elsewhere"), link)
    try:
        # Wine starts the first process of each "wine cmd" through its
        # start.exe, which on a loaded machine now and then fails to start
        # cmd at all ("ShellExecuteEx failed"), before anything of the
        # scenario ran. That says nothing of the script: start it again,
        # for as long as Wine keeps failing, up to a time cap.
        give_up = time.monotonic() + WINE_START_PATIENCE_SECONDS
        while True:
            ran = wine.cmd(wrapper)
            output = ran.stdout.decode("utf-8", "replace")
            if os.path.exists(result) or not wine_did_not_start_cmd(output) or time.monotonic() > give_up:
                break
    finally:
        if scenario.get("link"):
            os.unlink(link)

    failures = []
    if not os.path.exists(result):
        if wine_did_not_start_cmd(output):
            return [f"Wine could not start cmd in {WINE_START_PATIENCE_SECONDS} s of trying"], output
        return [f"the script did not return (cmd exit {ran.returncode})"], output
    code = int(open(result).read().strip())
    if code != scenario["exit"]:
        failures.append(f"exit {code}, expected {scenario['exit']}")
    for fragment in scenario.get("said", []):
        if fragment not in output:
            failures.append(f"did not say {fragment!r}")
    # A line that cmd could not parse shows as a command it cannot find.
    for line in output.splitlines():
        if "recognize" in line or "syntax" in line.lower():
            failures.append(f"cmd could not read a line: {line.strip()}")
    calls = []
    if os.path.exists(log):
        for line in open(log, encoding="utf-8"):
            words = line.split()
            if words and words[0].lower().endswith('sc.exe"'):
                calls.append(words[1].lower())
                if words[1].lower() == "create":
                    target = windows_path(os.path.join(tools, "drivers", "quarnhold.sys"))
                    if f'binPath= "{target}"' not in line:
                        failures.append(f"create names another image: {line.strip()}")
    if "calls" in scenario and calls != scenario["calls"]:
        failures.append(f"sc.exe calls {calls}, expected {scenario['calls']}")
    if os.listdir(os.path.join(tools, "drivers")):
        failures.append(f"left in drivers: {os.listdir(os.path.join(tools, 'drivers'))}")
    if os.listdir(temp):
        failures.append(f"left in TEMP: {os.listdir(temp)}")
    return failures, output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--fake-tool", required=True)
    args = parser.parse_args()
    if not os.access(args.wine, os.X_OK):
        print(f"install_script_test: {args.wine} is missing: scripts/install-dependencies installs wine64")
        return 1
    script_text = open(args.script, newline="").read()
    if "\r\n" not in script_text or script_text.count("\n") != script_text.count("\r\n"):
        print("install_script_test: the script's lines must end in CRLF")
        return 1

    root = tempfile.mkdtemp(prefix="quarnhold-install-script-")
    wine = None
    try:
        wine = Wine(args.wine, root)
        failed = 0
        # A Wine process spends most of its start waiting, not computing:
        # the scenarios run side by side, each in its own folder.
        # The one that lays a link at C:\Quarnhold runs alone, after them.
        def run(scenario):
            return run_scenario(wine, scenario, script_text, args.fake_tool, root)
        side_by_side = [scenario for scenario in SCENARIOS if not scenario.get("link")]
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            outcomes = dict(zip((id(s) for s in side_by_side), pool.map(run, side_by_side)))
        for scenario in SCENARIOS:
            if id(scenario) not in outcomes:
                outcomes[id(scenario)] = run(scenario)
        outcomes = [outcomes[id(scenario)] for scenario in SCENARIOS]
        for scenario, (failures, output) in zip(SCENARIOS, outcomes):
            print(f"{'ok  ' if not failures else 'FAIL'} {scenario['name']}")
            if failures:
                failed += 1
                for failure in failures:
                    print(f"     {failure}")
                print("     output:\n" + "".join(f"       {line}\n" for line in output.splitlines()))
        print(f"{len(SCENARIOS) - failed} of {len(SCENARIOS)} scenarios as expected")
        return 1 if failed else 0
    finally:
        if wine:
            wine.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
