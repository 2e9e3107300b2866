#!/usr/bin/env python3
"""Differential test: the program under Wine against the simulator.

    tests/wine/differential.py --devsim build/default/devsim [--preset windows32] [--keep] [CASE...]

Builds shutdown.exe (preset "windows", or "windows32" for the handset's 32-bit word size under
32-bit Wine), makes one Wine prefix for all cases, and runs each case
under Wine and in the simulator, the simulator given the same registry and the local time the
Wine run traced. Per case they must agree on
  * each thread's trace lines, in order (threads truly run at once under Wine, so lines are
    compared within a thread only),
  * the ERTC value,
  * the handset-only requests of each thread, in order, with their arguments,
  * the invariants: devsim's checkers over the Wine run's event log, where they apply,
and the Wine run must show what the case is about (a line of the trace, the ERTC written or
not). Differences that the real OS causes are left out by name below, each with its reason.

    tests/wine/differential.py --swarm FIRST..LAST [--jobs N] [--jitter-ms J] [--instances] [--preset ...]

runs the swarm worlds of those seeds instead, each compared in the same way (see swarm.py).
"""

import argparse
import difflib
import json
import math
import os
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
    # Two instances: the second is started by the scenario's timeline (start_program); its
    # threads are "2:main", ..., compared with the simulator's of the same names.
    "mode2-during-mode3-prompt": {"args": ["3"], "answers": [], "instances": 2,
                                  "scenario": "tests/wine/mode2_during_mode3_prompt.toml", "ertc": True,
                                  "expect": ("AutoShutdownThread", "[AutoShutdownThread] SendMessage IDYES.")},
    "mode1-during-mode3-sequence": {"args": ["3"], "answers": [], "instances": 2,
                                    "scenario": "tests/wine/mode1_during_mode3_sequence.toml", "ertc": True,
                                    "expect": ("main", "[Shutdown|NormalShutdown] DumpLogFile")},
}
# What devsim says of a scenario key it does not know: a case that needs it is skipped until
# the simulator has it.
UNKNOWN_ACTION = re.compile(r"unknown action '([a-z_]+)'")

# The builds the cases run with, and the word size of each: the 32-bit one has the handset's.
PRESET_BITS = {"windows": 64, "windows32": 32}

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

# Errors that Wine reports otherwise than the handset (and Windows) do, masked with their reason.
WINE_ERRORS = [
    (re.compile(r"(LoadLibrary error=)(?:2|126)\b"), r"\1<not found>",
     "Wine reports a library missing at its full path as ERROR_FILE_NOT_FOUND (2), the handset as "
     "ERROR_MOD_NOT_FOUND (126)"),
]

# The requests to the handset-only services, compared per thread in order.
HANDSET_OPS = {
    "KernelIoControl", "SetSystemPowerState", "SetDevicePower", "PowerPolicyNotify",
    "SystemIdleTimerReset", "GpioSetDirection", "GpioSetValue", "NLedGetDeviceInfo",
    "NLedSetDevice", "RIL_Initialize", "RIL_DevSpecific", "RIL_Deinitialize",
    "CeGetUserNotificationHandles", "CeGetUserNotification", "RegistryGetString",
    "RegistryNotifyCallback", "RegistryCloseNotification", "CreateFileW", "DeviceIoControl",
    "GetProcAddressW", "DoShutdownAnimation",
}
# A notification record is a header and a trigger, which hold handles and pointers, then its
# strings. The simulator runs the program built for its 64-bit host, so its records have the
# 64-bit layout; the handset's own (and the windows32 build's) is the 32-bit one. The sizes are
# compared from the strings on: the fixed part is 96 bytes with 8-byte pointers, 68 with 4-byte.
SIMULATOR_BITS = 64
RECORD_FIXED_BYTES = {64: 96, 32: 68}
# Arguments that are handle values or addresses: the PC's and the simulator's differ.
HANDLE_ARGS = {"handle", "module", "key", "notification", "root", "call_event"}
# Arguments only one side records (the PC's animation library reports how long it played; the
# simulator names the object a handle is).
ONE_SIDED_ARGS = {"plays_ms", "object"}


# The power-off watchdog's wait (its minute, as the simulator's log gives it). A PC waits it out
# in real time; where the simulator shows it quiet, the PC's services cut it (quiet_cut). The
# program's quiet is measured on the PC, which runs slower than the simulator's cost model: it
# must last several times the longest gap between the program's calls in the wait, and at least
# QUIET_MIN_MS, which is longer than any sleep of the program's other than the watchdog's own. A
# cut that saves less than CUT_WORTH_MS is not made.
QUIET_MIN_MS = 5000
QUIET_GAPS = 3
CUT_WORTH_MS = 10000
QUIET_MARGIN_MS = 2000


def quiet_cut(events):
    """(timeout_ms, quiet_ms) for the PC's services when every watchdog wait of the run that times
    out in the simulator may be cut, else None. A wait may be cut when, inside it, no other
    instance calls anything, nothing of the world happens after the program's last call but well
    before the PC would end the wait, and nothing but the watchdog's own calls and the devices
    follows its end: a PC that ends the wait once the program has been quiet long enough then
    sees what the simulator saw."""
    quiet, timeouts = [], set()
    for wait in events:
        if (wait.get("op") != "WaitForSingleObject" or wait.get("caller") != "AnimTimeoutThread"
                or wait.get("result") != "WAIT_TIMEOUT"):
            continue
        timeout_ms = wait["args"]["timeout_ms"]
        timeouts.add(timeout_ms)
        t0, t1, pid = wait["t_us"], wait["t_end_us"], wait.get("pid")
        inside = [e for e in events if e is not wait and t0 < e["t_us"] < t1 and e.get("op") != "Sleep"]
        if any(e.get("kind") == "call" and e.get("pid") != pid for e in inside):
            return None
        own = [e for e in inside if e.get("kind") == "call"]
        instants = sorted([t0] + [e["t_us"] for e in own] + [e["t_end_us"] for e in own if "t_end_us" in e])
        gap_ms = max((b - a for a, b in zip(instants, instants[1:])), default=0) // 1000
        quiet_ms = max(QUIET_MIN_MS, QUIET_GAPS * gap_ms)
        # An event of the world after the program's last call (a box of another process closed)
        # must come well before the PC would end the wait.
        if any((e["t_us"] - instants[-1]) // 1000 > quiet_ms - QUIET_MARGIN_MS for e in inside):
            return None
        if (instants[-1] - t0) // 1000 + quiet_ms > timeout_ms - CUT_WORTH_MS:
            return None
        if any(e["t_us"] >= t1 and e.get("kind") != "device" and e.get("op") != "Sleep"
               and e.get("thread") != wait["thread"] for e in events):
            return None
        quiet.append(quiet_ms)
    return (timeouts.pop(), max(quiet)) if quiet and len(timeouts) == 1 else None


def devsim_events(devsim, scenario_text, args, answers, workdir, name, extra=()):
    scenario = Path(workdir, name + ".toml")
    scenario.write_text(scenario_text)
    events = Path(workdir, name + ".sim.jsonl")
    cmd = [str(devsim), "-q", "--scenario", str(scenario), "--events", str(events)] + list(extra)
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
    if start is None:
        return text
    line = 'start = "%s"' % start.strftime("%Y-%m-%d %H:%M:%S")
    clock = re.search(r"^\[clock\]\n((?:[^\[\n].*\n|\n)*)", text, re.M)
    if clock is None:
        return text + "\n[clock]\n" + line + "\n"
    body = re.sub(r"^start = .*$", line, clock.group(1), count=1, flags=re.M)
    if body == clock.group(1):
        body = line + "\n" + body
    return text[:clock.start(1)] + body + text[clock.end(1):]


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
            for pattern, replacement, _ in WINE_ERRORS:
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


def requests(events, bits=SIMULATOR_BITS):
    """Each thread's handset-only requests: operation and arguments, handles left out, and the
    size of a notification record counted from its strings on (see RECORD_FIXED_BYTES)."""
    out = {}
    for e in events:
        if e.get("kind") != "call" or e.get("op") not in HANDSET_OPS:
            continue
        args = {k: canonical(v) for k, v in sorted(e.get("args", {}).items())
                if k not in HANDLE_ARGS and k not in ONE_SIDED_ARGS}
        if e["op"] == "CeGetUserNotification" and args.get("size", 0) >= RECORD_FIXED_BYTES[bits]:
            args["size"] = "fixed part + %d" % (args["size"] - RECORD_FIXED_BYTES[bits])
        out.setdefault(e["thread"], []).append(e["op"] + " " + json.dumps(args, sort_keys=True))
    return out


def ertc_values(events):
    return [canonical(e["args"]["value"]) for e in events if e.get("op") == "ertc.write"]


# The end of a run races the threads still running. A thread that the simulator runs in the
# last moments before the power goes or the process ends (the watchdog started just before a
# forced suspend that switches the handset off, a prompt's thread woken by the answer just
# before the program returns) may run none or only some of those steps on a PC, whose threads
# truly run at once: the Wine run may lack what the simulator's threads did in that time at the
# end of their lines.
CUT_SHORT_MS = 250
CUT_SHORT = ("what a thread did in the last %d ms before the power went or the process ended may be "
             "missing on a PC" % CUT_SHORT_MS)


# The handset's radio layer has one thread, which calls every instance's notification routine; a
# PC's services give each process a radio thread of its own ("2:radio").
ONE_RADIO = "the radio layer's thread is one on the handset and one for each instance on a PC"


def one_radio_thread(events):
    """The events with every instance's radio thread named as the handset's one."""
    return [dict(e, thread="radio") if re.fullmatch(r"\d+:radio", e.get("thread", "")) else e for e in events]


def before_the_end(events_w, events_s):
    """The simulator's events up to CUT_SHORT_MS before its run ended, when the Wine run ended by
    the power going or by the program's return too; None otherwise."""
    if not events_s or not any(e.get("op") in ("process.power_gone", "process.exit") for e in events_w):
        return None
    end_us = max(e["t_us"] for e in events_s)
    return [e for e in events_s if e["t_us"] < end_us - CUT_SHORT_MS * 1000]


def compare_threads(kind, wine, sim, problems, before_end=None):
    """Each thread's lines (or requests) must agree; with `before_end`, the same view of the
    simulator's events before the run's last moments, Wine may lack what came after it."""
    for thread in sorted(set(wine) | set(sim)):
        a, b = sim.get(thread, []), wine.get(thread, [])
        cut_short = before_end is not None and a[:len(b)] == b and len(b) >= len(before_end.get(thread, []))
        if a != b and not cut_short:
            diff = "\n".join(difflib.unified_diff(a, b, "simulator", "wine", lineterm="", n=2))
            problems.append("%s of thread %s differ:\n%s" % (kind, thread, diff))


def check_invariants(devsim, events_path, problems):
    result = subprocess.run([str(devsim), "check", str(events_path)], capture_output=True,
                            text=True, timeout=30)
    if result.returncode != 0:
        problems.append("devsim check on the Wine run's event log:\n" + result.stdout + result.stderr)


def simulator_lacks(devsim, case, workdir, name):
    """The scenario key the simulator refuses in the case's scenario, or None when it runs it."""
    try:
        devsim_events(devsim, scenario_text(case, None), case["args"], case["answers"], workdir, name + ".check")
    except AssertionError as e:
        m = UNKNOWN_ACTION.search(str(e))
        if m:
            return "timeline action %s" % m.group(1)
        raise
    return None


def instance_count(events):
    return len({e["instance"] for e in events if "instance" in e})


# Real threads take turns as the PC's scheduler decides. Where the world's outcome hangs on how
# two threads of the program interleave (the prompt's thread reads g_bShutdownBegin after its box
# returns, while the timeout's thread that answered the box sets it and, when another instance
# holds the sequence's mutex, clears it again), the PC may take another order than the
# simulator's fixed one. A Wine run that differs from that is held against the same world under
# the simulator's thread orders of seeds 1 to THREAD_ORDERS (a few hundredths of a second each),
# and agrees when it agrees with one of them.
THREAD_ORDERS = 100
ANY_ORDER = "a thread order other than the simulator's fixed one, when the simulator takes it too"


def compare_runs(events_w, events_s, bits):
    """What differs between a Wine run's events and a simulator run's: each thread's trace lines
    and handset requests (up to the end's race, CUT_SHORT), and the ERTC."""
    problems = []
    before = before_the_end(events_w, events_s)
    compare_threads("trace lines", thread_lines(events_w), thread_lines(events_s), problems,
                    None if before is None else thread_lines(before))
    compare_threads("handset requests", requests(events_w, bits), requests(events_s), problems,
                    None if before is None else requests(before))
    if ertc_values(events_w) != ertc_values(events_s):
        problems.append("ERTC: simulator %s, wine %s" % (ertc_values(events_s), ertc_values(events_w)))
    return problems


def run_case(name, case, devsim, prefix, build, workdir, bits, display=None):
    """Runs a case under Wine and in the simulator and compares them; returns the problems and
    the Wine run's seconds. A case may bound its Wine run ("timeout", 90 s by default) and say
    that the run is cut there on purpose ("stands": the program waits for ever)."""
    problems = []
    # The simulator's run of the case as it stands: where its watchdog's wait is quiet, the PC
    # cuts it, and the simulator's clock is started from the Wine run's first reading below.
    probe = devsim_events(devsim, scenario_text(case, None), case["args"], case["answers"],
                          workdir, name + ".probe")
    cut = quiet_cut(probe)
    if cut is not None:
        case.setdefault("notes", []).append("the watchdog's wait cut after %d ms of quiet" % cut[1])
    wine = run_wine.run(case["args"], SOURCE_DIR / case["scenario"] if case["scenario"] else None,
                        case["answers"], prefix=prefix, build=build,
                        out=Path(workdir, name), timeout=case.get("timeout", 90), display=display,
                        quiet_cut=cut)
    if wine["overran"] and not case.get("stands"):
        problems.append("the Wine run overran its time")
    if not wine["overran"] and case.get("stands"):
        problems.append("the Wine run ended; in the simulator the program waits for ever")
    events_w = one_radio_thread(wine["events"])

    # The simulator's clock starts so that its first reading of the local time falls into the
    # second the Wine run traced.
    traced = traced_local_time(events_w)
    start = None
    if traced is not None:
        first = next((e["t_us"] for e in probe if e.get("op") == "GetLocalTime"), 0)
        start = traced - timedelta(seconds=math.floor(first / 1e6))
    # The simulator's run in its fixed thread order (seed 0) first; where Wine differs, the same
    # world under other thread orders (see THREAD_ORDERS). The fixed order's differences are the
    # ones reported.
    text = scenario_text(case, start)
    differences = None
    for seed in range(THREAD_ORDERS + 1):
        try:
            events_s = devsim_events(devsim, text, case["args"], case["answers"], workdir,
                                     name if seed == 0 else name + ".order", ["--seed", str(seed)])
        except AssertionError:
            if seed == 0:
                raise
            continue  # an order in which the simulator's run fails is no order Wine may agree with
        found = compare_runs(events_w, events_s, bits)
        if differences is None:
            differences = found
        if not found:
            if seed != 0:
                case.setdefault("notes", []).append("agrees with the simulator's thread order of seed %d" % seed)
            differences = []
            break
    problems += differences
    if case["ertc"] is not None and case["ertc"] != bool(ertc_values(events_w)):
        problems.append("the Wine run %s the ERTC" % ("did not write" if case["ertc"] else "wrote"))
    if case["ertc"]:
        # The snapshot must be readable on the real OS too: some process is always listed.
        counts = [int(m.group(1)) for lines in thread_lines_raw(events_w).values()
                  for m in map(re.compile(r"^\[ShutDownApps\] numTasks=(\d+)").match, lines) if m]
        if not counts or min(counts) == 0:
            problems.append("the Wine run listed no process: %s" % counts)
    if instance_count(events_w) != case.get("instances", 1):
        problems.append("the Wine run had %d instance(s) of the program, not %d" % (
            instance_count(events_w), case.get("instances", 1)))
    if case["expect"] is not None:
        thread, line = case["expect"]
        if line not in thread_lines(events_w).get(thread, []):
            problems.append("the Wine run lacks the line %r on %s" % (line, thread))
    if not wine["overran"]:
        check_invariants(devsim, Path(wine["out"], "events.named.jsonl"), problems)
    return problems, wine["seconds"]


def run_services_test(prefix, build, bits):
    """The handset-only services' own test, in the same prefix."""
    exe = build / "pc" / "services_test.exe"
    result = subprocess.run([run_wine.builtin_loader(bits), str(exe)], env=run_wine.wine_env(prefix, bits), capture_output=True,
                            text=True, timeout=60, cwd=prefix / "drive_c")
    passed = result.returncode == 0
    print("%-14s %s" % ("services", "pass" if passed else "FAILED"))
    if not passed:
        print("  " + result.stdout.replace("\n", "\n  "))
    return passed


def named_differences(bits):
    return ("named differences left out: " + "; ".join(sorted({r for _, r in OS_LINES} |
                                                               {r for _, _, r in WINE_ERRORS} |
                                                               {CUT_SHORT, ONE_RADIO, ANY_ORDER})) +
            "; handle values and addresses" +
            ("; the notification record's 32-bit layout" if bits != SIMULATOR_BITS else ""))


def run_cases(opts, build, bits, workdir):
    """The hand cases in one prefix; returns the failures."""
    prefix = workdir / "prefix"
    failed = 0
    try:
        setup = run_wine.make_prefix(prefix, bits=bits)
        print("%d-bit prefix ready in %.1f s" % (bits, setup))
        failed += not run_services_test(prefix, build, bits)
        for name in opts.cases:
            try:
                lacks = simulator_lacks(opts.devsim, CASES[name], workdir, name)
                if lacks is not None:
                    print("%-14s skipped: devsim does not know the %s yet" % (name, lacks))
                    continue
                problems, seconds = run_case(name, CASES[name], opts.devsim, prefix, build, workdir, bits)
            except (AssertionError, run_wine.RunnerError) as e:
                problems, seconds = [str(e)], 0.0
            print("%-14s %s (wine %.1f s)" % (name, "FAILED" if problems else "agrees", seconds))
            for problem in problems:
                print("  " + problem.replace("\n", "\n  "))
            failed += bool(problems)
    finally:
        run_wine.stop_wineserver(prefix, bits)
    return failed


# The status that tells CTest the run was skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt).
SKIPPED = 77


def kernel_refuses_32_bit():
    """(loader, error) when the kernel cannot execute 32-bit programs at all (a kernel built or
    booted without IA-32 emulation): 32-bit Wine's loader then fails with 'Exec format error'
    before any Windows code runs. None when it starts, or when it is not there (the runner then
    names the missing package)."""
    import errno
    loader = "/usr/lib/wine/wine"
    if not os.path.exists(loader):
        return None
    try:
        subprocess.run([loader, "--version"], capture_output=True, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return (loader, e.strerror)
    except subprocess.TimeoutExpired:
        pass
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", default=str(SOURCE_DIR / "build" / "default" / "devsim"))
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the runs")
    parser.add_argument("--preset", choices=sorted(PRESET_BITS), default="windows",
                        help="the build to run: windows (x86-64, 64-bit Wine) or windows32 (i686, "
                        "the handset's word size, 32-bit Wine in a win32 prefix)")
    parser.add_argument("--swarm", metavar="FIRST..LAST",
                        help="instead of the hand cases, the swarm worlds of these seeds")
    parser.add_argument("--jobs", type=int, default=2, help="swarm worlds run side by side")
    parser.add_argument("--instances", action="store_true",
                        help="carry the swarm worlds that start the program again too (their further "
                        "instances' starts settled over Wine's start-up; see swarm.prepare for what differs)")
    parser.add_argument("--jitter-ms", type=int, default=400,
                        help="how far apart a PC may put two instants the simulator keeps apart")
    parser.add_argument("cases", nargs="*", default=list(CASES))
    opts = parser.parse_args()
    if opts.swarm and not re.fullmatch(r"\d+\.\.\d+", opts.swarm):
        parser.error("--swarm takes FIRST..LAST, e.g. 1..30")
    if opts.jobs < 1 or opts.jitter_ms < 1:
        parser.error("--jobs and --jitter-ms take a number of 1 or more")
    started = time.monotonic()
    try:
        run_wine.require_tools()
    except run_wine.RunnerError as e:
        print("wine differential: " + str(e))
        return 1
    build = SOURCE_DIR / "build" / opts.preset
    bits = PRESET_BITS[opts.preset]
    if bits == 32:
        refused = kernel_refuses_32_bit()
        if refused:
            print("wine differential: skipped: this machine's kernel runs no 32-bit programs "
                  "(%s starts with '%s'), so 32-bit Wine cannot start" % refused)
            return SKIPPED
    for step in (["cmake", "--preset", opts.preset], ["cmake", "--build", "--preset", opts.preset, "-j2"]):
        result = subprocess.run(step, cwd=SOURCE_DIR, capture_output=True, text=True, timeout=600)
        if result.returncode != 0:
            print(" ".join(step) + " failed:\n" + result.stdout + result.stderr)
            return 1
    workdir = Path(tempfile.mkdtemp(prefix="wine-diff-", dir=build))
    if opts.keep:
        print("keeping the prefix and the runs in %s" % workdir)
    try:
        if opts.swarm:
            import swarm
            print(named_differences(bits))
            return 1 if swarm.run(opts, Path(opts.devsim), build, bits, workdir) else 0
        failed = run_cases(opts, build, bits, workdir)
    finally:
        if not opts.keep:
            import shutil
            shutil.rmtree(workdir, ignore_errors=True)
    print(named_differences(bits))
    print("%s, %.1f s" % ("all agree" if not failed else "%d failure(s)" % failed,
                          time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
