#!/usr/bin/env python3
"""Differential test: the program under Wine against the simulator.

    tests/wine/differential.py --devsim build/default/devsim [--keep] [CASE...]

Builds shutdown.exe (preset "windows"), makes one Wine prefix for all cases, and runs each case
under Wine and in the simulator, the simulator given the same registry and the local time the
Wine run traced. Per case they must agree on
  * each thread's trace lines, in order (threads truly run at once under Wine, so lines are
    compared within a thread only),
  * the ERTC value,
  * the handset-only requests of each thread, in order, with their arguments,
  * the invariants: devsim's checkers over the Wine run's event log, where they apply,
and the Wine run must show what the case is about (a line of the trace, the ERTC written or
not). Differences that the real OS causes are left out by name below, each with its reason.
"""

import argparse
import difflib
import json
import math
import re
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "wine"))
import run_wine  # noqa: E402

CASES = {
    "mode1": {"args": ["1"], "answers": [], "scenario": None, "ertc": True,
              "expect": ("main", "[KernShutDown] called  ~")},
    "mode2-yes": {"args": ["2"], "answers": ["yes@1500"], "scenario": None, "ertc": True,
                  "expect": ("main", "[Shutdown|NormalShutdown] DumpLogFile")},
    "mode2-no": {"args": ["2"], "answers": ["no@500"], "scenario": None, "ertc": False,
                 "expect": None},
    "mode3-timeout": {"args": ["3"], "answers": ["none"],
                      "scenario": "tests/wine/call_ends_unanswered.toml", "ertc": True,
                      "expect": ("AutoShutdownThread", "[AutoShutdownThread] SendMessage IDYES.")},
}

# Trace lines that depend on what the real OS has and the simulated handset does not.
OS_LINES = [
    # The process list is the PC's (Wine's services, explorer, the user helper...), not the
    # handset's: how many tasks there are and which of them are asked to close differ.
    (re.compile(r"^\[ShutDownApps\] numTasks="), "the process list is the PC's"),
    (re.compile(r"^\[KillProcess\]"), "the process list is the PC's"),
]
# Parts of lines that carry the clock. The tick count is the PC's own. The simulator's clock is
# started at the second the Wine run first traced, but between two readings the PC's clock runs
# on in wall time and the simulator's in its own cost model, so a later reading can fall into
# the next second on one side only; the ERTC value, which the readings decide, is compared whole.
MASKS = [(re.compile(r"(Ril Down[+-]) -?\d+"), r"\1 <ticks>"),
         (re.compile(r"(LocalTime|CurrentTime): \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,? ?\[0x[0-9A-F]+\]"),
          r"\1: <now>")]

# The requests to the handset-only services, compared per thread in order.
HANDSET_OPS = {
    "KernelIoControl", "SetSystemPowerState", "SetDevicePower", "PowerPolicyNotify",
    "SystemIdleTimerReset", "GpioSetDirection", "GpioSetValue", "NLedGetDeviceInfo",
    "NLedSetDevice", "RIL_Initialize", "RIL_DevSpecific", "RIL_Deinitialize",
    "CeGetUserNotificationHandles", "CeGetUserNotification", "RegistryGetString",
    "RegistryNotifyCallback", "RegistryCloseNotification", "CreateFileW", "DeviceIoControl",
    "GetProcAddressW", "DoShutdownAnimation",
}
# Arguments that are handle values or addresses: the PC's and the simulator's differ.
HANDLE_ARGS = {"handle", "module", "key", "notification", "root", "call_event"}
# Arguments only one side records (the PC's animation library reports how long it played; the
# simulator names the object a handle is).
ONE_SIDED_ARGS = {"plays_ms", "object"}


def devsim_events(devsim, scenario_text, args, answers, workdir, name):
    scenario = Path(workdir, name + ".toml")
    scenario.write_text(scenario_text)
    events = Path(workdir, name + ".sim.jsonl")
    cmd = [str(devsim), "-q", "--scenario", str(scenario), "--events", str(events)]
    for answer in answers:
        cmd += ["--answer", answer]
    try:
        # A run of the simulator takes well under a second of wall time.
        result = subprocess.run(cmd + ["--"] + args, capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        raise AssertionError("devsim did not finish in 30 s: " + " ".join(cmd + ["--"] + args))
    if result.returncode != 0:
        raise AssertionError("devsim failed (%d): %s\n%s" % (result.returncode, " ".join(cmd),
                                                              result.stdout + result.stderr))
    return [json.loads(line) for line in events.read_text().splitlines() if line.strip()]


def scenario_text(case, start):
    """The case's scenario for the simulator, its clock started at `start` (or its own)."""
    if case["scenario"] is None:
        text = 'base = "builtin"\n'
    else:
        text = (SOURCE_DIR / case["scenario"]).read_text()
    if start is not None:
        text += '\n[clock]\nstart = "%s"\n' % start.strftime("%Y-%m-%d %H:%M:%S")
    return text


def traced_local_time(events):
    for e in events:
        if e.get("op") == "NKDbgPrintfW":
            m = re.search(r"LocalTime: (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)", e["args"]["text"])
            if m:
                return datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")
    return None


def thread_lines_raw(events):
    """Each thread's trace lines as printed."""
    text = {}
    for e in events:
        if e.get("op") == "NKDbgPrintfW" and e.get("kind") == "call":
            text.setdefault(e["thread"], []).append(e["args"]["text"])
    return {t: "".join(parts).replace("\r", "").split("\n") for t, parts in text.items()}


def thread_lines(events):
    """Each thread's trace lines: its prints joined, split at line ends, masked; lines the OS
    decides are dropped."""
    lines = {}
    for thread, raw in thread_lines_raw(events).items():
        out = []
        for line in raw:
            if not line.strip() or any(p.search(line) for p, _ in OS_LINES):
                continue
            for pattern, replacement in MASKS:
                line = pattern.sub(replacement, line)
            out.append(line.rstrip())
        lines[thread] = out
    return lines


def canonical(value):
    if isinstance(value, str) and re.fullmatch(r"0x[0-9A-Fa-f]+", value):
        return int(value, 16)
    if isinstance(value, bool):
        return value
    return value


def requests(events):
    """Each thread's handset-only requests: operation and arguments, handles left out."""
    out = {}
    for e in events:
        if e.get("kind") != "call" or e.get("op") not in HANDSET_OPS:
            continue
        args = {k: canonical(v) for k, v in sorted(e.get("args", {}).items())
                if k not in HANDLE_ARGS and k not in ONE_SIDED_ARGS}
        out.setdefault(e["thread"], []).append(e["op"] + " " + json.dumps(args, sort_keys=True))
    return out


def ertc_values(events):
    return [canonical(e["args"]["value"]) for e in events if e.get("op") == "ertc.write"]


def compare_threads(kind, wine, sim, problems):
    for thread in sorted(set(wine) | set(sim)):
        a, b = sim.get(thread, []), wine.get(thread, [])
        if a != b:
            diff = "\n".join(difflib.unified_diff(a, b, "simulator", "wine", lineterm="", n=2))
            problems.append("%s of thread %s differ:\n%s" % (kind, thread, diff))


def check_invariants(devsim, events_path, problems):
    result = subprocess.run([str(devsim), "check", str(events_path)], capture_output=True,
                            text=True, timeout=30)
    if result.returncode != 0:
        problems.append("devsim check on the Wine run's event log:\n" + result.stdout + result.stderr)


def run_case(name, case, devsim, prefix, build, workdir):
    problems = []
    wine = run_wine.run(case["args"], SOURCE_DIR / case["scenario"] if case["scenario"] else None,
                        case["answers"], prefix=prefix, build=build,
                        out=Path(workdir, name), timeout=90)
    if wine["overran"]:
        problems.append("the Wine run overran its time")
    events_w = wine["events"]

    # The simulator's clock starts so that its first reading of the local time falls into the
    # second the Wine run traced.
    traced = traced_local_time(events_w)
    start = None
    if traced is not None:
        probe = devsim_events(devsim, scenario_text(case, None), case["args"], case["answers"],
                              workdir, name + ".probe")
        first = next((e["t_us"] for e in probe if e.get("op") == "GetLocalTime"), 0)
        start = traced - timedelta(seconds=math.floor(first / 1e6))
    events_s = devsim_events(devsim, scenario_text(case, start), case["args"], case["answers"],
                             workdir, name)

    compare_threads("trace lines", thread_lines(events_w), thread_lines(events_s), problems)
    compare_threads("handset requests", requests(events_w), requests(events_s), problems)
    if ertc_values(events_w) != ertc_values(events_s):
        problems.append("ERTC: simulator %s, wine %s" % (ertc_values(events_s), ertc_values(events_w)))
    if case["ertc"] != bool(ertc_values(events_w)):
        problems.append("the Wine run %s the ERTC" % ("did not write" if case["ertc"] else "wrote"))
    if case["ertc"]:
        # The snapshot must be readable on the real OS too: some process is always listed.
        counts = [int(m.group(1)) for lines in thread_lines_raw(events_w).values()
                  for m in map(re.compile(r"^\[ShutDownApps\] numTasks=(\d+)").match, lines) if m]
        if not counts or min(counts) == 0:
            problems.append("the Wine run listed no process: %s" % counts)
    if case["expect"] is not None:
        thread, line = case["expect"]
        if line not in thread_lines(events_w).get(thread, []):
            problems.append("the Wine run lacks the line %r on %s" % (line, thread))
    check_invariants(devsim, Path(wine["out"], "events.named.jsonl"), problems)
    return problems, wine["seconds"]


def run_services_test(prefix, build):
    """The handset-only services' own test, in the same prefix."""
    exe = build / "pc" / "services_test.exe"
    result = subprocess.run(["wine", str(exe)], env=run_wine.wine_env(prefix), capture_output=True,
                            text=True, timeout=60, cwd=prefix / "drive_c")
    passed = result.returncode == 0
    print("%-14s %s" % ("services", "pass" if passed else "FAILED"))
    if not passed:
        print("  " + result.stdout.replace("\n", "\n  "))
    return passed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", default=str(SOURCE_DIR / "build" / "default" / "devsim"))
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the runs")
    parser.add_argument("cases", nargs="*", default=list(CASES))
    opts = parser.parse_args()
    started = time.monotonic()
    try:
        run_wine.require_tools()
    except run_wine.RunnerError as e:
        print("wine differential: " + str(e))
        return 1
    build = SOURCE_DIR / "build" / "windows"
    for step in (["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows", "-j2"]):
        result = subprocess.run(step, cwd=SOURCE_DIR, capture_output=True, text=True, timeout=600)
        if result.returncode != 0:
            print(" ".join(step) + " failed:\n" + result.stdout + result.stderr)
            return 1
    workdir = Path(tempfile.mkdtemp(prefix="wine-diff-", dir=build))
    prefix = workdir / "prefix"
    failed = 0
    try:
        setup = run_wine.make_prefix(prefix)
        print("prefix ready in %.1f s" % setup)
        failed += not run_services_test(prefix, build)
        for name in opts.cases:
            try:
                problems, seconds = run_case(name, CASES[name], opts.devsim, prefix, build, workdir)
            except (AssertionError, run_wine.RunnerError) as e:
                problems, seconds = [str(e)], 0.0
            print("%-14s %s (wine %.1f s)" % (name, "FAILED" if problems else "agrees", seconds))
            for problem in problems:
                print("  " + problem.replace("\n", "\n  "))
            failed += bool(problems)
    finally:
        run_wine.stop_wineserver(prefix)
        if not opts.keep:
            import shutil
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            print("kept: %s" % workdir)
    print("named differences left out: " + "; ".join(sorted({r for _, r in OS_LINES})) +
          "; handle values and addresses")
    print("%s, %.1f s" % ("all agree" if not failed else "%d failure(s)" % failed,
                          time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
