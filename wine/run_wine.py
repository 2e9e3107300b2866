#!/usr/bin/env python3
"""Runs shutdown.exe under Wine on a handset described by a scenario file.

    wine/run_wine.py [--scenario FILE] [--answer yes@1500 ...] [--out DIR] [--prefix DIR]
                     [--keep-prefix] [--build DIR] [--timeout S] -- ARGS...

What it does, all headless and bounded in time:
  * makes a private WINEPREFIX under the build folder (or uses --prefix, shared between runs),
  * imports the handset's registry with `wine reg import`: the scenario's registry and the
    settings of the handset-only services (radio, power, board, LEDs, drivers, notification
    database, animation) under HKLM\\Software\\Handset,
  * puts the animation library (a real DLL exporting DoShutdownAnimation) and the scenario's
    sound files into C:\\Windows, the handset's \\Windows,
  * starts `xvfb-run wine shutdown.exe ARGS` with the user helper beside it, which answers the
    boxes like a click and makes the scenario's registry changes at their times,
  * collects the debug output (OUT/trace.txt) and the event log (OUT/events.jsonl, each record
    carrying the name of its thread: main, radio, regnotify, or the program's start routine),
  * cleans up (the prefix too, unless it was given or --keep-prefix).

A 32-bit build (preset windows32, told apart by its PE header) runs under 32-bit Wine in a win32
prefix. A scenario with something the PC side does not play is refused, naming each such thing
(not_carried).

Exit status: the program's, 3 when Wine or Xvfb is missing, 4 when the run overran its time.
"""

import argparse
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import tomllib
from datetime import datetime, timedelta
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parent.parent
SETTINGS_KEY = r"HKEY_LOCAL_MACHINE\Software\Handset"


class RunnerError(Exception):
    pass


def require_tools():
    missing = [tool for tool in ("wine", "xvfb-run", "wineserver") if shutil.which(tool) is None]
    if missing:
        raise RunnerError(
            "missing: " + ", ".join(missing) + ". Wine and Xvfb come from Debian's packages "
            "wine, wine64 and xvfb; ./setup.sh installs them.")


# ------------------------------------------------------------------------------------------
# The scenario
# ------------------------------------------------------------------------------------------
def load_scenario(path):
    """The scenario as a dict (see read_scenario); RunnerError when the runner cannot carry it."""
    scenario = read_scenario(path)
    reasons = not_carried(scenario)
    if reasons:
        raise RunnerError("the Wine runner does not carry: " + "; ".join(reasons))
    return scenario


def read_scenario(path):
    """The scenario as a dict, a `base = "builtin"` file laid over the built-in handset: each
    table it names is merged key by key, every other key replaced."""
    builtin = SOURCE_DIR / "scenarios" / "builtin.toml"
    if path is None:
        path = builtin
    with open(path, "rb") as f:
        scenario = tomllib.load(f)
    if scenario.get("base") == "builtin":
        with open(builtin, "rb") as f:
            merged = tomllib.load(f)
        for key, value in scenario.items():
            if isinstance(value, dict) and isinstance(merged.get(key), dict):
                merged[key] = {**merged[key], **value}
            else:
                merged[key] = value
        scenario = merged
    scenario["_dir"] = str(Path(path).resolve().parent)
    return scenario


# What the PC's services and the user helper can play, beyond the tables they read whole.
CARRIED_TIMELINE = {"delete_registry", "set_registry", "hold_mutex", "release_mutex", "show_box",
                    "close_box", "start_program", "key"}
# The reason given for an outside event the user helper does not play.
TIMELINE_REASONS = {}
# Keys a standing message box takes as an answer on a PC (Enter, Escape, Space, Y, N, the
# arrows and Tab move or press its buttons); the simulated handset delivers a key to the
# foreground window without a box acting on it. A world that sends one to a standing box is
# left out by the swarm's preparation, which knows from the simulator where each key went.
BOX_KEYS = {0x09, 0x0D, 0x1B, 0x20, 0x25, 0x26, 0x27, 0x28, ord("N"), ord("Y")}
# The hook code a real key press comes with.
HC_ACTION = 0
CARRIED_RADIO_CONFIRM = {"off", "never", "other_state", "mask_clear", "short_payload", "no_payload"}
# The services of pc/ that honour fault rules as the simulator's --fail does. A rule for any
# other operation would have to fail a real Windows call, which the runner does not do.
HANDSET_FAULT_OPS = {
    "KernelIoControl", "SetSystemPowerState", "SetDevicePower", "PowerPolicyNotify",
    "GpioSetDirection", "GpioSetValue", "NLedGetDeviceInfo", "NLedSetDevice", "RIL_Initialize",
    "RIL_DevSpecific", "CeGetUserNotificationHandles", "CeGetUserNotification",
    "RegistryGetString", "RegistryNotifyCallback", "CreateFileW", "DeviceIoControl",
    "GetProcAddressW",
    # The program's calls that the services record on their way to the real ones.
    "CreateMutexW", "CreateEventW", "MessageBoxW",
    # Real Windows calls that only the program makes: pc/imports.cpp replaces its import
    # entries for them when a rule names them.
    "GetModuleFileNameW", "LoadStringW", "LoadLibraryW", "FindWindowW", "SetWindowsHookExW",
    "GetFileSize", "PlaySoundW", "CreateThread", "SetEvent",
}
# Operations whose detail is something the PC names otherwise (a file, an event or a thread's
# start routine by their handle or address).
NO_DETAIL_OPS = {"GetFileSize", "SetEvent", "CreateThread"}
# Real Windows calls whose number of calls, and so which call a rule's @N fails, the PC's own
# processes and windows decide.
PROCESS_LIST_OPS = {"EnumWindows", "CreateToolhelp32Snapshot", "Process32First", "Process32Next",
                    "GetWindowThreadProcessId"}
# The handset-only box class the simulator's other processes use; on a PC a box is "#32770".
OTHER_BOX_CLASSES = {"Dialog"}


def fault_op(rule):
    """The operation a fault rule names ("OP", "OP:DETAIL", "OP@N", "OP@N+")."""
    return re.split(r"[:@]", rule, maxsplit=1)[0]


def not_carried(scenario):
    """Why a scenario (a dict, merged over the built-in handset) cannot be run under Wine: one
    short reason per thing the PC side does not play, empty when it can be run."""
    reasons = []
    for rule in scenario.get("faults", {}).get("fail", []):
        if fault_op(rule) in PROCESS_LIST_OPS:
            reasons.append("a fault of %s, which the PC's process list drives" % fault_op(rule))
        elif fault_op(rule) not in HANDSET_FAULT_OPS:
            reasons.append("a fault of the real Windows call %s" % fault_op(rule))
        elif fault_op(rule) in NO_DETAIL_OPS and ":" in rule:
            reasons.append("a fault of %s for one object" % fault_op(rule))
    for other in scenario.get("other_process", []):
        box = other.get("box")
        if box is not None and box.get("class", "Dialog") not in OTHER_BOX_CLASSES:
            reasons.append("another process's window of class %s" % box["class"])
    for step in scenario.get("timeline", []):
        action = step.get("do")
        if action not in CARRIED_TIMELINE:
            reasons.append(TIMELINE_REASONS.get(action, "timeline action %s" % action))
        elif action in ("show_box", "close_box") and step.get("class", "Dialog") not in OTHER_BOX_CLASSES:
            reasons.append("another process's window of class %s" % step["class"])
        elif "pid" in step:
            reasons.append("another process's box by pid")
        elif action == "key" and step.get("hook_code", HC_ACTION) != HC_ACTION:
            reasons.append("a key press with a hook code of its own")

    if same_value_sets(scenario):
        reasons.append("a registry value set to what it holds (a PC's watcher sees no change)")
    radio = scenario.get("radio", {})
    if radio.get("confirm", "off") not in CARRIED_RADIO_CONFIRM:
        reasons.append("radio confirmation %s" % radio["confirm"])
    if radio.get("confirm_jitter_us"):
        reasons.append("radio confirmation jitter")
    processes = scenario.get("processes", {})
    if processes.get("snapshot", "ok") not in ("ok", "fails") or processes.get("extra_processes"):
        reasons.append("process snapshot knobs")
    if any("DoShutdownAnimation" not in lib.get("exports", []) for lib in scenario.get("library", [])):
        reasons.append("a library without the animation entry")
    if any("short_read_bytes" in f or "size_fails" in f for f in scenario.get("file", [])):
        reasons.append("file reads failing")
    return sorted(set(reasons), key=reasons.index)


def instant_ms(step):
    """When a timeline entry happens, in ms after the start (given in ms or in us)."""
    return step["at_ms"] if "at_ms" in step else step.get("at_us", 0) // 1000


def program_cmdline(step):
    """The command line of a further instance: `cmdline`, or `args` joined (a word with a space
    quoted)."""
    if "cmdline" in step:
        return step["cmdline"]
    return " ".join('"%s"' % a if " " in a or not a else a for a in step.get("args", []))


def helper_acts(scenario):
    """The user helper's arguments for the outside world: other processes holding names and
    showing boxes from the start, and the timeline's registry changes, mutexes and boxes."""
    args = []
    for other in scenario.get("other_process", []):
        for name in other.get("mutexes", []):
            args += ["--hold-mutex", "%s@0" % name]
        if other.get("box") is not None:
            args += ["--show-box", "%s@0" % other["box"].get("title", "Warning")]
    for step in scenario.get("timeline", []):
        action, at = step.get("do"), instant_ms(step)
        if action == "delete_registry":
            args += ["--delete-value", step["key"], "%s@%d" % (step["value"], at)]
        elif action == "set_registry" and "dword" in step:
            args += ["--set-dword", step["key"], step["value"], "%d@%d" % (step["dword"] & 0xFFFFFFFF, at)]
        elif action == "set_registry":
            args += ["--set-string", step["key"], step["value"], "%s@%d" % (step.get("string", ""), at)]
        elif action in ("hold_mutex", "release_mutex"):
            args += ["--" + action.replace("_", "-"), "%s@%d" % (step["name"], at)]
        elif action in ("show_box", "close_box"):
            args += ["--" + action.replace("_", "-"), "%s@%d" % (step.get("title", "Warning"), at)]
        elif action == "key":
            args += ["--key", "%d@%d" % (step["vk"], at)]
        elif action == "start_program":
            args += ["--start-program", "%s@%d" % (program_cmdline(step), at)]
        else:
            raise RunnerError("the Wine runner does not support timeline action %s" % action)
    return args


def registry_values(scenario):
    """{(key, value name), lower case: ("dword", n) or ("string", text)} of the scenario's
    registry as imported (files, text, then patch; later lines win)."""
    values, key = {}, None
    for body in registry_bodies(scenario):
        for line in body:
            line = line.strip()
            m = re.match(r"^\[(?:HKEY_LOCAL_MACHINE|HKLM)\\(.+)\]$", line)
            if m:
                key = m.group(1).lower()
                continue
            m = re.match(r'^"((?:[^"\\]|\\.)*)"=(?:dword:([0-9a-fA-F]{1,8})|"((?:[^"\\]|\\.)*)")$', line)
            if m and key is not None:
                name = m.group(1).replace('\\"', '"').replace("\\\\", "\\").lower()
                values[(key, name)] = ("dword", int(m.group(2), 16)) if m.group(2) is not None else \
                    ("string", m.group(3).replace('\\"', '"').replace("\\\\", "\\"))
            elif m is None and key is not None and line.startswith('"') and "=-" in line:
                values.pop((key, line[1:line.index('"', 1)].lower()), None)
    return values


def same_value_sets(scenario):
    """The timeline's registry sets that write the value the registry already holds then: the
    simulated handset calls a watcher back for them, a PC's RegNotifyChangeKeyValue watcher
    cannot tell them from a change of another value of the key and does not."""
    values = registry_values(scenario)
    same = []
    steps = [s for s in scenario.get("timeline", []) if s.get("do") in ("set_registry", "delete_registry")]
    for step in sorted(steps, key=lambda s: s["at_us"] if "at_us" in s else s.get("at_ms", 0) * 1000):
        target = (step.get("key", "").lower(), step.get("value", "").lower())
        if step["do"] == "delete_registry":
            values.pop(target, None)
            continue
        now = ("dword", step["dword"] & 0xFFFFFFFF) if "dword" in step else ("string", step.get("string", ""))
        if values.get(target) == now:
            same.append(step)
        values[target] = now
    return same


def reg_body(text):
    """The key and value lines of an export text, without its header line."""
    lines = text.replace("\r\n", "\n").split("\n")
    while lines and not lines[0].strip():
        lines.pop(0)
    if lines and (lines[0].startswith("REGEDIT4") or lines[0].startswith("Windows Registry")):
        lines.pop(0)
    return lines


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_dword(value):
    return "dword:%08x" % (value & 0xFFFFFFFF)


def settings_lines(scenario, quiet_cut=None):
    """The handset-only services' settings (see docs/handset-services.md); `quiet_cut`, a pair
    (timeout_ms, quiet_ms), lets the program's waits of that timeout end once it is quiet."""
    out = ["[-%s]" % SETTINGS_KEY]

    def key(sub, values):
        out.append("")
        out.append("[%s\\%s]" % (SETTINGS_KEY, sub))
        for name, value in values:
            out.append("%s=%s" % (reg_string(name), value))

    radio = scenario.get("radio", {})
    key("Radio", [("Confirm", reg_string(radio.get("confirm", "off"))),
                  ("ConfirmAfterMs", reg_dword(radio.get("confirm_after_ms", 1000))),
                  ("InitResult", reg_dword(radio.get("init_result", 0))),
                  ("CommandResult", reg_dword(radio.get("command_result", 0)))])
    for n, note in enumerate(radio.get("notify", []), start=1):
        values = [("Code", reg_dword(note.get("code", RADIO_STATE_CODE))),
                  ("AfterMs", reg_dword(note.get("after_ms", 0)))]
        if "words" in note:
            values.append(("Words", reg_string(" ".join("%x" % (w & 0xFFFFFFFF) for w in note["words"]))))
        key("Radio\\Notify\\%d" % n, values)
    power = scenario.get("power", {})
    key("Power", [("Suspend", reg_string(power.get("suspend", "returns"))),
                  ("SuspendReturnsAfterMs", reg_dword(power.get("suspend_returns_after_ms", 0)))])
    key("Board", [("PmuLine", reg_dword(1 if scenario.get("board", {}).get("pmu_line", True) else 0))])
    leds = scenario.get("leds", {}).get("leds", [])
    key("Leds", [("Count", reg_dword(len(leds))),
                 ("CountFails", reg_dword(1 if scenario.get("leds", {}).get("count_fails") else 0))] +
        [("CycleAdjust%d" % i, reg_dword(led.get("cycle_adjust", 0))) for i, led in enumerate(leds)] +
        [("SupportsFails%d" % i, reg_dword(1)) for i, led in enumerate(leds) if led.get("supports_fails")] +
        [("SettingsFails%d" % i, reg_dword(1)) for i, led in enumerate(leds) if led.get("settings_fails")])
    processes = scenario.get("processes", {})
    key("Processes", [("SnapshotFails", reg_dword(1 if processes.get("snapshot") == "fails" else 0)),
                      ("SnapshotError", reg_dword(processes.get("snapshot_error", 8)))])
    rules = scenario.get("faults", {}).get("fail", [])
    key("Faults", [("Rule%d" % n, reg_string(rule)) for n, rule in enumerate(rules, start=1)])
    drivers = scenario.get("drivers", {})
    key("Drivers", [(name, reg_string("missing")) for name in drivers.get("missing", [])] +
        [(name, reg_string("refuses")) for name in drivers.get("refuse", [])])
    plays = [lib.get("plays_ms", 0) for lib in scenario.get("library", [])
             if "DoShutdownAnimation" in lib.get("exports", [])]
    key("Animation", [("PlaysMs", reg_dword(plays[0] if plays else 0))])
    for n, note in enumerate(notifications(scenario), start=1):
        values = [("Type", reg_dword(note.get("type", 4))),
                  ("Arguments", reg_string(note.get("arguments", "")))]
        if note.get("no_application"):
            values.append(("NoApplication", reg_dword(1)))
        else:
            values.append(("Application", reg_string(note.get("application", "\\Windows\\clock.exe"))))
        if "start" in note:
            values.append(("Start", reg_string(note["start"])))
        if "end" in note:
            values.append(("End", reg_string(note["end"])))
        key("Notifications\\%d" % n, values)
    if quiet_cut is not None:
        key("Waits", [("CutTimeoutMs", reg_dword(quiet_cut[0])), ("QuietMs", reg_dword(quiet_cut[1]))])
    return out


RADIO_STATE_CODE = 0x00800001
# A [clock_alarms] series' spacing when the scenario gives none, in ms.
CLOCK_ALARMS_EVERY_MS = 3600000
TIME_FORMAT = "%Y-%m-%d %H:%M:%S"


def clock_alarms_first(scenario):
    """The first alarm of the scenario's [clock_alarms] series as "YYYY-MM-DD hh:mm:ss": its
    `first`, or the handset clock's start plus the spacing."""
    series = scenario.get("clock_alarms", {})
    if "first" in series:
        return series["first"]
    start = datetime.strptime(scenario.get("clock", {}).get("start", "2008-06-15 06:40:00"), TIME_FORMAT)
    return (start + timedelta(milliseconds=series.get("every_ms", CLOCK_ALARMS_EVERY_MS))).strftime(TIME_FORMAT)


def notifications(scenario):
    """The notification database in the order of its handles: [[notifications]], then the
    [clock_alarms] series (count alarms of the clock, every_ms apart, latest first when
    descending)."""
    entries = list(scenario.get("notifications", []))
    series = scenario.get("clock_alarms")
    if series and series.get("count", 0) > 0:
        first = datetime.strptime(clock_alarms_first(scenario), TIME_FORMAT)
        every = timedelta(milliseconds=series.get("every_ms", CLOCK_ALARMS_EVERY_MS))
        count = series["count"]
        for i in range(count):
            at = first + every * ((count - 1 - i) if series.get("descending") else i)
            entries.append({"application": series.get("application", "\\Windows\\clock.exe"),
                            "start": at.strftime(TIME_FORMAT)})
    return entries


def registry_bodies(scenario):
    """The scenario's registry as export bodies, in the order they are applied: its files, its
    text, its patch."""
    registry = scenario.get("registry", {})
    bodies = []
    for name in registry.get("files", []):
        bodies.append(reg_body(Path(scenario.get("_dir", "."), name).read_text(encoding="utf-8-sig")))
    bodies.append(reg_body(registry.get("text", "")))
    bodies.append(reg_body(registry.get("patch", "")))
    return bodies


def registry_file(scenario, path, quiet_cut=None):
    """One export file: the keys the scenario names are removed first, so that what an earlier
    run in the same prefix changed is gone, then the scenario's registry and the settings."""
    bodies = registry_bodies(scenario)
    lines = ["Windows Registry Editor Version 5.00", ""]
    for body in bodies:
        for line in body:
            m = re.match(r"^\[(HKEY_LOCAL_MACHINE|HKLM)\\(.+)\]\s*$", line.strip())
            if m:
                lines.append("[-HKEY_LOCAL_MACHINE\\%s]" % m.group(2))
    for body in bodies:
        lines.append("")
        lines.extend(line.replace("[HKLM\\", "[HKEY_LOCAL_MACHINE\\") for line in body)
    lines.append("")
    lines.extend(settings_lines(scenario, quiet_cut))
    lines.append("")
    Path(path).write_bytes(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))


def wav_bytes(ms):
    """A silent 8 kHz 8-bit mono RIFF/WAVE sound of ms milliseconds."""
    data = b"\x80" * (8 * ms)
    fmt = struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE" +
            b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data)


def handset_path(prefix, path):
    """Where a handset path (\\Windows\\x) lies in the prefix: the handset's root is C:\\."""
    parts = [p for p in path.replace("/", "\\").split("\\") if p]
    if parts and parts[0].lower() == "windows":
        parts[0] = "windows"
    return Path(prefix, "drive_c", *parts)


# The list of the files the last run placed in a prefix, which the next run removes first.
PLACED_LIST = "handset-files.txt"


def place_files(scenario, prefix, build):
    """Puts the scenario's libraries and files into the prefix, after removing those an earlier
    run placed there: a library one world has must not stand in for another world's missing
    one."""
    listing = Path(prefix, PLACED_LIST)
    if listing.exists():
        for line in listing.read_text().splitlines():
            Path(line).unlink(missing_ok=True)
    placed = [handset_path(prefix, lib["path"]) for lib in scenario.get("library", [])
              if "DoShutdownAnimation" in lib.get("exports", [])]
    placed += [handset_path(prefix, entry["path"]) for entry in scenario.get("file", [])]
    listing.write_text("".join("%s\n" % p for p in placed))
    for lib in scenario.get("library", []):
        if "DoShutdownAnimation" in lib.get("exports", []):
            target = handset_path(prefix, lib["path"])
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(Path(build, "wine", "ShutdownAnimation.dll"), target)
    for entry in scenario.get("file", []):
        target = handset_path(prefix, entry["path"])
        target.parent.mkdir(parents=True, exist_ok=True)
        if "wav_ms" in entry:
            target.write_bytes(wav_bytes(entry["wav_ms"]))
        elif "contents" in entry:
            target.write_text(entry["contents"])
        elif "host" in entry:
            shutil.copyfile(Path(scenario["_dir"], entry["host"]), target)


# ------------------------------------------------------------------------------------------
# Wine
# ------------------------------------------------------------------------------------------
def exe_bits(exe):
    """32 or 64: the machine a Windows executable is built for, from its PE header."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        raise RunnerError("%s is not a Windows executable" % exe)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        raise RunnerError("%s is not a Windows executable" % exe)
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    if machine not in MACHINE_BITS:
        raise RunnerError("%s is built for machine 0x%04x, neither i386 nor x86-64" % (exe, machine))
    return MACHINE_BITS[machine]


MACHINE_BITS = {0x014C: 32, 0x8664: 64}


def wine_env(prefix, bits=64):
    """A 32-bit program runs in a prefix of its own made with WINEARCH=win32 (Debian's wine32
    package); a win64 prefix is never reused for it, nor the other way round."""
    env = dict(os.environ)
    env.update({"WINEPREFIX": str(Path(prefix).resolve()), "WINEDEBUG": os.environ.get("RUN_WINE_DEBUG", "-all"), "WINEDLLOVERRIDES": "mscoree,mshtml=",
                "WINEARCH": "win32" if bits == 32 else "win64"})
    return env


XVFB_ATTEMPTS = 5
# How long the program's start waits for the user helper to be ready (Wine's first process in a
# fresh server takes a few seconds on a busy machine).
READY_WAIT_S = 30


def free_display(first):
    """The first X display number from `first` on that no running X server holds. A lock whose
    server is gone (killed before it could clean up) does not hold it: Xvfb takes such a lock
    over."""
    n = first
    while display_held(n):
        n += 1
    return n


def display_held(n):
    try:
        pid = int(Path("/tmp/.X%d-lock" % n).read_text().strip())
    except (OSError, ValueError):
        return Path("/tmp/.X%d-lock" % n).exists()
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def builtin_loader(bits):
    """The loader that runs Wine's own programs (reg, wineboot) and the build's with its word
    size. With 32-bit Wine installed beside the 64-bit one, Debian's `wine` launcher starts the
    32-bit loader for everything: `wine reg` in a win64 prefix is the 32-bit reg.exe, which imports
    under Wow6432Node, out of a 64-bit program's sight (even with /reg:64 its deletions of keys miss
    the 64-bit view), and on a kernel that runs no 32-bit programs nothing starts at all ("Exec
    format error"). So a 64-bit run names the 64-bit loader (Debian keeps it out of PATH)."""
    if bits == 32:
        return "wine"
    for loader in (shutil.which("wine64"), "/usr/lib/wine/wine64"):
        if loader and os.access(loader, os.X_OK):
            return loader
    return "wine"


def run_bounded(cmd, env, timeout, cwd=None, stdout=None, stderr=None):
    """Runs cmd in its own process group; on overrunning timeout the group is ended: asked
    first, so that xvfb-run stops its X server and frees the display's lock, then killed."""
    proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=stdout, stderr=stderr,
                            start_new_session=True)
    try:
        return proc.wait(timeout=timeout), False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        return None, True


def make_prefix(prefix, timeout=120, bits=64):
    env = wine_env(prefix, bits)
    Path(prefix).mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    code, overran = run_bounded([builtin_loader(bits), "wineboot", "-i"], env, timeout, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    if overran or code != 0:
        raise RunnerError("wineboot could not set up the %d-bit prefix %s%s" % (
            bits, prefix, " (32-bit Wine comes from Debian's wine32:i386, with the i386 "
            "architecture added to dpkg)" if bits == 32 else ""))
    run_bounded(["wineserver", "-w"], env, timeout)
    return time.monotonic() - started


def stop_wineserver(prefix, bits=64):
    run_bounded(["wineserver", "-k"], wine_env(prefix, bits), 20, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)


def start_routines(exe, bits=64):
    """Addresses of the program's functions, by nm, for naming threads by start routine."""
    nm = shutil.which("i686-w64-mingw32-nm" if bits == 32 else "x86_64-w64-mingw32-nm") or shutil.which("nm")
    out = subprocess.run([nm, "-C", str(exe)], capture_output=True, text=True, check=True).stdout
    names = {}
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in ("T", "t"):
            names[int(parts[0], 16)] = parts[2].split("(")[0]
    return names


def instances_of(events):
    """{pid: instance number}: the first instance is the process the runner started, the others
    are numbered in the order the helper started them (its program.start records)."""
    started = {}
    for e in events:
        if e.get("op") == "program.start" and e.get("args", {}).get("pid"):
            started[e["args"]["pid"]] = e["args"]["instance"]
    numbers = {}
    for e in events:
        pid = e.get("pid")
        if pid is not None and pid not in numbers:
            numbers[pid] = started.get(pid, 1)
    return numbers


def name_threads(events, routines):
    """Every record gets its thread's name: the services name their own threads and the first
    one; the program's threads are named after their start routine; records that carry only
    a thread id (the animation library's) take the name of that id. The threads of instance
    N >= 2 of the program are named "N:main", "N:AutoShutdownThread", ...; each record of an
    instance carries its number ("instance")."""
    by_tid = {}
    for e in events:
        thread = e.get("thread", "")
        if thread.startswith("start:"):
            thread = routines.get(int(thread[len("start:"):], 16), thread)
            e["thread"] = thread
        if "tid" in e and thread:
            by_tid.setdefault(e["tid"], thread)
    for e in events:
        if "thread" not in e and "tid" in e:
            e["thread"] = by_tid.get(e["tid"], "tid:%d" % e["tid"])
    numbers = instances_of(events)
    for e in events:
        if e.get("pid") in numbers:
            e["instance"] = numbers[e["pid"]]
            if e["instance"] > 1 and e.get("thread", "device") != "device":
                e["thread"] = "%d:%s" % (e["instance"], e["thread"])
    return events


def write_instances(events, out):
    """OUT/instance-N/events.jsonl: each instance's own records (the handset's, without a
    process, go to every instance's file)."""
    numbers = sorted({e["instance"] for e in events if "instance" in e})
    for n in numbers:
        folder = Path(out, "instance-%d" % n)
        folder.mkdir(exist_ok=True)
        with open(folder / "events.jsonl", "w") as f:
            for e in events:
                if e.get("instance", n) == n:
                    f.write(json.dumps(e) + "\n")


def run(args, scenario_path=None, answers=(), prefix=None, build=None, out=None, timeout=120,
        keep_prefix=False, display=None, quiet_cut=None):
    """One run of shutdown.exe under Wine; returns a dict with the exit code, the trace text,
    the events and the wall time. Runs side by side give each its own prefix and `display`
    (an X server number), since xvfb-run's own choice of a free one races with another's.
    `quiet_cut` (timeout_ms, quiet_ms) cuts the program's waits of that timeout once it is quiet
    (the services' Waits settings)."""
    require_tools()
    build = Path(build or SOURCE_DIR / "build" / "windows").resolve()
    exe = build / "pc" / "shutdown.exe"
    if not exe.exists():
        raise RunnerError("%s is missing: cmake --preset windows && cmake --build --preset windows" % exe)
    bits = exe_bits(exe)
    scenario = load_scenario(scenario_path)
    own_prefix = prefix is None
    prefix = Path(prefix or tempfile.mkdtemp(prefix="wineprefix-", dir=build)).resolve()
    out = Path(out or tempfile.mkdtemp(prefix="winerun-", dir=build)).resolve()
    out.mkdir(parents=True, exist_ok=True)
    try:
        if not (prefix / "system.reg").exists():
            make_prefix(prefix, bits=bits)
        env = wine_env(prefix, bits)
        # Nothing of an earlier run in this prefix (a box left standing holds its mutex) lives on.
        stop_wineserver(prefix, bits)
        reg = out / "handset.reg"
        registry_file(scenario, reg, quiet_cut)
        place_files(scenario, prefix, build)

        events_path = out / "events.jsonl"
        events_path.unlink(missing_ok=True)
        env["HANDSET_EVENT_LOG"] = "Z:" + str(events_path.resolve()).replace("/", "\\")
        if not answers:
            answers = scenario.get("user", {}).get("answers", [])
        ready = out / "user.ready"
        ready.unlink(missing_ok=True)
        ended = out / "program.ended"
        ended.unlink(missing_ok=True)
        user = [str(build / "wine" / "handset_user.exe"), "--limit-ms", str(int(timeout * 1000)),
                "--program", str(exe), "--ready-file", str(ready), "--ended-file", str(ended)]
        for answer in answers:
            user += ["--answer", answer if "@" in answer else answer + "@0"]
        user += helper_acts(scenario)
        quoted = lambda words: " ".join("'" + w.replace("'", "'\\''") + "'" for w in words)
        # The registry is imported on the display of the run: the first Wine process of a fresh
        # server starts the desktop, which must have the display for the program's boxes. The
        # program starts once the helper has taken the names and shown the boxes of the start.
        # When the first instance ends, the handset runs on while a further instance runs or is
        # still to be started, as on the handset: the helper ends once none does.
        script = ("%s reg import %s >/dev/null 2>&1 || exit 125; "
                  "%s %s & user=$!; n=0; while [ ! -e %s ] && [ $n -lt %d ]; do sleep 0.05; n=$((n+1)); done; "
                  "%s %s 2>%s; code=$?; "
                  ": > %s; wait $user 2>/dev/null; exit $code") % (
                      quoted([builtin_loader(bits)]), quoted([str(reg)]), quoted([builtin_loader(bits)]), quoted(user),
                      quoted([str(ready)]), READY_WAIT_S * 20, quoted([builtin_loader(bits)]),
                      quoted([str(exe)] + list(args)), quoted([str(out / "trace.txt")]), quoted([str(ended)]))
        started = time.monotonic()
        # The handset's \Windows is C:\Windows: the program runs with C:\ as its directory.
        # An X server that fails to start (its number taken meanwhile by another run) is tried
        # again on the next free number.
        for attempt in range(XVFB_ATTEMPTS):
            server = ["-a"] if display is None else ["-n", str(free_display(display))]
            with open(out / "xvfb.txt", "w") as log:
                code, overran = run_bounded(["xvfb-run"] + server + ["-s", "-screen 0 800x600x24", "sh", "-c", script],
                                            env, timeout, cwd=prefix / "drive_c", stderr=log)
            if "Xvfb failed to start" not in (out / "xvfb.txt").read_text(errors="replace"):
                break
            started = time.monotonic()
        else:
            raise RunnerError("Xvfb failed to start %d times" % XVFB_ATTEMPTS)
        elapsed = time.monotonic() - started
        if code == 125:
            raise RunnerError("wine reg import %s failed" % reg)
        if overran:
            stop_wineserver(prefix, bits)
        trace = (out / "trace.txt").read_text(encoding="utf-8", errors="replace") \
            if (out / "trace.txt").exists() else ""
        events = []
        if events_path.exists():
            text = events_path.read_text(encoding="utf-8", errors="replace")
            for n, line in enumerate(text.splitlines(), start=1):
                if line.strip():
                    try:
                        events.append(json.loads(line))
                    except json.JSONDecodeError as e:
                        raise RunnerError("%s:%d is not a JSON record (%s): %r" % (
                            events_path, n, e, line[:120]))
        events = name_threads(events, start_routines(exe, bits))
        with open(out / "events.named.jsonl", "w") as f:
            for e in events:
                f.write(json.dumps(e) + "\n")
        write_instances(events, out)
        return {"code": code, "overran": overran, "trace": trace, "events": events,
                "seconds": elapsed, "out": out}
    finally:
        if own_prefix and not keep_prefix:
            stop_wineserver(prefix, bits)
            shutil.rmtree(prefix, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scenario")
    parser.add_argument("--answer", action="append", default=[])
    parser.add_argument("--build")
    parser.add_argument("--prefix")
    parser.add_argument("--keep-prefix", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("args", nargs="*")
    opts = parser.parse_args()
    try:
        result = run(opts.args, opts.scenario, opts.answer, opts.prefix, opts.build, opts.out,
                     opts.timeout, opts.keep_prefix)
    except RunnerError as e:
        print("run_wine: " + str(e), file=sys.stderr)
        return 3
    sys.stdout.write(result["trace"])
    print("----")
    print("exit: %s after %.1f s%s" % (result["code"], result["seconds"],
                                        " (time limit)" if result["overran"] else ""))
    for e in result["events"]:
        if e.get("op") == "ertc.write":
            print("ERTC wake-up: %s" % e["args"]["value"])
    print("event log: %s" % (result["out"] / "events.named.jsonl"))
    return 4 if result["overran"] else (result["code"] or 0)


if __name__ == "__main__":
    sys.exit(main())
