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
CARRIED_TIMELINE = {"delete_registry"}
# The reason given for an outside event the user helper does not play.
TIMELINE_REASONS = {"key": "key presses", "set_registry": "registry values set over time",
                    "show_box": "other processes' boxes", "close_box": "other processes' boxes",
                    "hold_mutex": "other processes' mutexes",
                    "release_mutex": "other processes' mutexes"}
CARRIED_RADIO_CONFIRM = {"off", "never"}


def not_carried(scenario):
    """Why a scenario (a dict, merged over the built-in handset) cannot be run under Wine: one
    short reason per thing the PC side does not play, empty when it can be run."""
    reasons = []
    if scenario.get("faults", {}).get("fail"):
        reasons.append("platform faults")
    if scenario.get("other_process"):
        reasons.append("other processes")
    if "clock_alarms" in scenario:
        reasons.append("clock alarms")
    for step in scenario.get("timeline", []):
        action = step.get("do")
        if action not in CARRIED_TIMELINE:
            reasons.append(TIMELINE_REASONS.get(action, "timeline action %s" % action))
    radio = scenario.get("radio", {})
    if radio.get("confirm", "off") not in CARRIED_RADIO_CONFIRM:
        reasons.append("radio confirmation %s" % radio["confirm"])
    if radio.get("notify"):
        reasons.append("extra radio reports")
    if "init_result" in radio or "command_result" in radio:
        reasons.append("radio calls failing")
    processes = scenario.get("processes", {})
    if processes.get("snapshot", "ok") != "ok" or processes.get("extra_processes"):
        reasons.append("process snapshot knobs")
    leds = scenario.get("leds", {})
    if leds.get("count_fails") or any(led.get("supports_fails") or led.get("settings_fails")
                                      for led in leds.get("leds", [])):
        reasons.append("LED queries failing")
    if any("DoShutdownAnimation" not in lib.get("exports", []) for lib in scenario.get("library", [])):
        reasons.append("a library without the animation entry")
    if any("short_read_bytes" in f or "size_fails" in f for f in scenario.get("file", [])):
        reasons.append("file reads failing")
    return sorted(set(reasons), key=reasons.index)


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


def settings_lines(scenario):
    """The handset-only services' settings (see docs/handset-services.md)."""
    out = ["[-%s]" % SETTINGS_KEY]

    def key(sub, values):
        out.append("")
        out.append("[%s\\%s]" % (SETTINGS_KEY, sub))
        for name, value in values:
            out.append("%s=%s" % (reg_string(name), value))

    radio = scenario.get("radio", {})
    key("Radio", [("Confirm", reg_string(radio.get("confirm", "off"))),
                  ("ConfirmAfterMs", reg_dword(radio.get("confirm_after_ms", 1000)))])
    power = scenario.get("power", {})
    key("Power", [("Suspend", reg_string(power.get("suspend", "returns"))),
                  ("SuspendReturnsAfterMs", reg_dword(power.get("suspend_returns_after_ms", 0)))])
    key("Board", [("PmuLine", reg_dword(1 if scenario.get("board", {}).get("pmu_line", True) else 0))])
    leds = scenario.get("leds", {}).get("leds", [])
    key("Leds", [("Count", reg_dword(len(leds)))] +
        [("CycleAdjust%d" % i, reg_dword(led.get("cycle_adjust", 0))) for i, led in enumerate(leds)])
    drivers = scenario.get("drivers", {})
    key("Drivers", [(name, reg_string("missing")) for name in drivers.get("missing", [])] +
        [(name, reg_string("refuses")) for name in drivers.get("refuse", [])])
    plays = [lib.get("plays_ms", 0) for lib in scenario.get("library", [])
             if "DoShutdownAnimation" in lib.get("exports", [])]
    key("Animation", [("PlaysMs", reg_dword(plays[0] if plays else 0))])
    for n, note in enumerate(scenario.get("notifications", []), start=1):
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
    return out


def registry_file(scenario, path):
    """One export file: the keys the scenario names are removed first, so that what an earlier
    run in the same prefix changed is gone, then the scenario's registry and the settings."""
    registry = scenario.get("registry", {})
    bodies = []
    for name in registry.get("files", []):
        bodies.append(reg_body(Path(scenario["_dir"], name).read_text(encoding="utf-8-sig")))
    bodies.append(reg_body(registry.get("text", "")))
    bodies.append(reg_body(registry.get("patch", "")))
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
    lines.extend(settings_lines(scenario))
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


def place_files(scenario, prefix, build):
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
    """The loader that runs Wine's own programs (reg) with the build's word size. With 32-bit
    Wine installed beside the 64-bit one, `wine reg` in a win64 prefix is the 32-bit reg.exe: it
    imports under Wow6432Node, out of a 64-bit program's sight, and even with /reg:64 its deletions
    of keys miss the 64-bit view, so the 64-bit loader is named (Debian keeps it out of PATH)."""
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
    code, overran = run_bounded(["wineboot", "-i"], env, timeout, stdout=subprocess.DEVNULL,
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


def name_threads(events, routines):
    """Every record gets its thread's name: the services name their own threads and the first
    one; the program's threads are named after their start routine; records that carry only
    a thread id (the animation library's) take the name of that id."""
    by_tid = {}
    for e in events:
        thread = e.get("thread", "")
        if thread.startswith("start:"):
            address = int(thread[len("start:"):], 16)
            thread = routines.get(address, thread)
            e["thread"] = thread
        if "tid" in e and thread:
            by_tid.setdefault(e["tid"], thread)
    for e in events:
        if "thread" not in e and "tid" in e:
            e["thread"] = by_tid.get(e["tid"], "tid:%d" % e["tid"])
    return events


def run(args, scenario_path=None, answers=(), prefix=None, build=None, out=None, timeout=120,
        keep_prefix=False, display=None):
    """One run of shutdown.exe under Wine; returns a dict with the exit code, the trace text,
    the events and the wall time. Runs side by side give each its own prefix and `display`
    (an X server number), since xvfb-run's own choice of a free one races with another's."""
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
        registry_file(scenario, reg)
        place_files(scenario, prefix, build)

        events_path = out / "events.jsonl"
        events_path.unlink(missing_ok=True)
        env["HANDSET_EVENT_LOG"] = "Z:" + str(events_path.resolve()).replace("/", "\\")
        if not answers:
            answers = scenario.get("user", {}).get("answers", [])
        user = [str(build / "wine" / "handset_user.exe"), "--limit-ms", str(int(timeout * 1000))]
        for answer in answers:
            user += ["--answer", answer if "@" in answer else answer + "@0"]
        for step in scenario.get("timeline", []):
            if step.get("do") != "delete_registry":
                raise RunnerError("the Wine runner does not support timeline action %s" % step.get("do"))
            # An instant is given in ms or in us; the helper keeps ms.
            at_ms = step["at_ms"] if "at_ms" in step else step.get("at_us", 0) // 1000
            user += ["--delete-value", step["key"], "%s@%d" % (step["value"], at_ms)]
        quoted = lambda words: " ".join("'" + w.replace("'", "'\\''") + "'" for w in words)
        # The registry is imported on the display of the run: the first Wine process of a fresh
        # server starts the desktop, which must have the display for the program's boxes.
        script = ("%s reg import %s >/dev/null 2>&1 || exit 125; "
                  "wine %s & user=$!; wine %s 2>%s; code=$?; "
                  "kill $user 2>/dev/null; wait $user 2>/dev/null; exit $code") % (
                      quoted([builtin_loader(bits)]), quoted([str(reg)]), quoted(user), quoted([str(exe)] + list(args)),
                      quoted([str(out / "trace.txt")]))
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
