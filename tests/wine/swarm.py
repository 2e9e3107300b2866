"""The differential swarm: swarm worlds drawn by devsim, run under Wine side by side and each
compared with the simulator as the hand cases are (see differential.py, which drives this).

A world is carried when the Wine runner can play everything in it (run_wine.not_carried names
what it cannot). Real threads truly run at once and the PC's clock has its own jitter, so a world
whose outcome hangs on two instants within that jitter of each other is a race on a PC, not a
world: each instant of the world (an answer, a registry change, the radio's confirmation, the
forced suspend's return) is moved by the jitter both ways in the simulator, and when that changes
what the comparison sees, the instant is moved apart, by a few jitters, to where it does not; a
world that no such move settles is left out, and counted, with that reason.
"""

import concurrent.futures
import json
import re
import shutil
import subprocess
import tomllib
from pathlib import Path

import differential
import run_wine

# The instants of a world as the dumped scenario writes them: the number, and its unit in us.
INSTANT = re.compile(r"^((?:at_ms|at_us|confirm_after_ms|suspend_returns_after_ms|plays_ms|\s*after_ms) = )"
                     r"(\d+)$"
                     r"|(['\"](?:yes|no|cancel)@)(\d+)(['\"])", re.M)
# How far an unsettled instant may be moved, in jitters, tried nearest first.
MOVES = (2, -2, 3, -3, 4, -4, 6, -6)
# A further instance of the program is a real process that Wine starts: its first call comes this
# long after the helper asked for it (measured under Wine: 0.2 to 0.9 s with 8 runs side by side on
# two cores), so the instance's every moment is late by up to that much. Its start is settled over
# the whole window it may land in, and moved by more jitters when it cannot be.
START_LATENCY_MS = 1500
START_MOVES = MOVES + (8, -8, 10, -10, 12, -12)
# An answer comes a set time after its box appears, and a PC's box appears late against the
# simulator's by up to this much (Wine makes its first window of a process slowly, more so with
# several runs side by side), so an answer may come that much later against the world's other
# instants (a prompt's own timeout, counted from before the box). It is settled over that window.
BOX_LATENCY_MS = 1500
# The program's own pace: under Wine it reaches the radio's power-off later than in the
# simulator (loading the animation library and its first calls are slow there; measured 0.8 s
# with 8 runs side by side), and every later moment of its sequence with it. The animation's
# length stands for that: it is settled over a window that long past the jitter, so that a world
# whose outcome hangs on how fast the program runs its sequence (an instance's prompt timing out
# just after another's sequence would have closed its box) is moved apart or left out.
PACE_MS = 1200
# A world whose program waits for ever in the simulator (a box nobody answers) is cut on the PC
# this long after the simulator's last event; what it printed until then is compared.
STANDING_GRACE_S = 30
# The X display numbers of the runs side by side start here, above where xvfb-run's own choice
# (from 99 up) puts other runs on the machine.
DISPLAY_BASE = 400
# Wine runs longer than this are cut as overrunning (the longest worlds wait the program's
# minute-long watchdog, and a busy machine stretches Wine's start).
WORLD_TIMEOUT_S = 180
# A devsim run of one world takes well under a second of wall time.
DEVSIM_TIMEOUT_S = 60


def instants(text):
    """(start, end, value, unit_us) of each instant in a scenario text, in order."""
    out = []
    for m in INSTANT.finditer(text):
        if m.group(2) is not None:
            out.append((m.start(2), m.end(2), int(m.group(2)),
                        1 if m.group(1).startswith("at_us") else 1000))
        else:
            out.append((m.start(4), m.end(4), int(m.group(4)), 1000))
    return out


def pin_clock_alarms(text, scenario):
    """The text with its [clock_alarms] series' first alarm written out: the simulator's clock is
    started at the PC's time for the comparison, and the series must not move with it."""
    m = re.search(r"^\[clock_alarms\]\n", text, re.M)
    if m is None or "first" in scenario.get("clock_alarms", {}):
        return text
    return text[:m.end()] + "first = '%s'\n" % run_wine.clock_alarms_first(scenario) + text[m.end():]


def starts_program(text, index):
    """Whether instant `index` is when a [[timeline]] entry starts the program again."""
    start = instants(text)[index][0]
    head = text.rfind("\n[", 0, start)
    tail = text.find("\n[", start)
    section = text[head + 1:tail if tail >= 0 else len(text)]
    return section.startswith("[[timeline]]") and re.search(r'^do = "start_program"$', section, re.M) is not None


def answers_a_box(text, index):
    """Whether instant `index` is a scripted answer ("yes@1500"), counted from its box."""
    return text[instants(text)[index][0] - 1] == "@"


def stands_for_pace(text, index):
    """Whether instant `index` is the animation's length, which stands for the program's pace."""
    return text[:instants(text)[index][0]].endswith("plays_ms = ")


def window(text, index, jitter_ms):
    """The moves of instant `index` that a PC may make of it, in ms, every jitter's step between
    its earliest and its latest (0 left out). Every instant may come the jitter late, and the
    jitter and a PC's slower pace early (against a program that runs more slowly, the world comes
    early); an answer may come late by a PC's slow box too, and the animation's length, which
    stands for the pace, by the pace. A further instance's start is late by Wine's start-up
    against the world's other instants, and against another start, late by its own time, it may
    come that early as well."""
    if starts_program(text, index):
        early = late = jitter_ms + START_LATENCY_MS
    else:
        early = jitter_ms + PACE_MS
        late = jitter_ms + (BOX_LATENCY_MS if answers_a_box(text, index) else
                            PACE_MS if stands_for_pace(text, index) else 0)
    steps = (-early,) + tuple(range(-early + jitter_ms, late, jitter_ms)) + (late,)
    return tuple(d for d in steps if d != 0)


def moved(text, index, delta_ms):
    """The text with instant `index` moved by delta_ms (not below 0)."""
    start, end, value, unit = instants(text)[index]
    return text[:start] + str(max(0, value + delta_ms * 1000 // unit)) + text[end:]


class Simulator:
    """The simulator's view of a world, as the comparison sees it."""

    def __init__(self, devsim, workdir, args):
        self.devsim, self.workdir, self.args = devsim, Path(workdir), args

    def run(self, text, name):
        events = differential.devsim_events(self.devsim, text, self.args, [], self.workdir, name)
        return events

    def view(self, text, name):
        events = self.run(text, name)
        return (differential.thread_lines(events), differential.requests(events),
                differential.ertc_values(events))

    def settled(self, text, index, jitter_ms, base, name):
        """Whether every move a PC may make of instant `index` (window) leaves the view alone."""
        return all(self.view(moved(text, index, d), name) == base
                   for d in window(text, index, jitter_ms) if d != 0)


def settle(text, sim, jitter_ms, name):
    """The world's text with every instant out of the jitter of what it meets, and the moves
    made as words; None when some instant cannot be settled."""
    notes = []
    for index in range(len(instants(text))):
        base = sim.view(text, name)
        if sim.settled(text, index, jitter_ms, base, name):
            continue
        value = instants(text)[index][2]
        for k in START_MOVES if starts_program(text, index) else MOVES:
            candidate = moved(text, index, k * jitter_ms)
            if instants(candidate)[index][2] == value:
                continue
            if sim.settled(candidate, index, jitter_ms, sim.view(candidate, name), name):
                notes.append("instant %d moved from %d by %+d ms" % (index + 1, value, k * jitter_ms))
                text = candidate
                break
        else:
            return None, notes
    return text, notes


def devsim_run(cmd):
    """devsim run to its end; AssertionError when it does not finish in DEVSIM_TIMEOUT_S."""
    try:
        return subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                              timeout=DEVSIM_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        raise AssertionError("devsim did not finish in %d s: %s" % (
            DEVSIM_TIMEOUT_S, " ".join(str(c) for c in cmd)))


def draw_world(devsim, seed, path):
    # Exploring one seed runs the world once and checks it: a simulator that hangs shows here.
    result = devsim_run([devsim, "explore", "--swarm", "--seeds", "%d..%d" % (seed, seed),
                         "--jobs", "1", "--dump-scenario", path])
    if result.returncode not in (0, 5) or not path.exists():
        raise AssertionError("devsim could not write the world of seed %d:\n%s" % (
            seed, result.stdout + result.stderr))
    return path.read_text()


def summary(devsim, path, args):
    out = Path(str(path) + ".summary.json")
    devsim_run([devsim, "-q", "--scenario", path, "--summary-json", out, "--"] + args)
    return json.loads(out.read_text())


def prepare(devsim, seed, workdir, jitter_ms, instances=False):
    """A world ready to run: (case, None) or (None, reasons it is not carried). Worlds that start
    the program again are carried only with `instances`: under Wine each instance has the PC's
    handset-only services (the radio, the fault rules' counts) to itself, where the handset has
    one radio for all, and an instance started within Wine's start-up of the first one races it."""
    path = Path(workdir, "world-%d.toml" % seed)
    text = draw_world(devsim, seed, path)
    scenario = run_wine.read_scenario(path)
    reasons = run_wine.not_carried(scenario)
    if not instances and any(step.get("do") == "start_program" for step in scenario.get("timeline", [])):
        reasons.append("further instances of the program (compared by the hand cases)")
    if reasons:
        return None, reasons
    text = pin_clock_alarms(text, scenario)
    args = tomllib.loads(text)["expect"]["args"]
    sim = Simulator(devsim, workdir, args)
    settled, notes = settle(text, sim, jitter_ms, "world-%d.probe" % seed)
    if settled is None:
        return None, ["instants within the jitter that no move settles"]
    path.write_text(settled)
    end = summary(devsim, path, args)
    if keys_to_a_box(tomllib.loads(settled), end):
        return None, ["a key that reaches a standing box (a PC's box takes it as an answer)"]
    # The Wine run must have as many instances of the program as the simulator's: a start after
    # the handset went down makes none.
    instances = max([1] + [int(e["thread"].split(":")[0]) for e in sim.run(settled, "world-%d.instances" % seed)
                           if re.match(r"\d+:", e.get("thread", ""))])
    case = {"args": args, "answers": [], "scenario": str(path), "ertc": None, "expect": None,
            "timeout": WORLD_TIMEOUT_S, "notes": notes, "instances": instances}
    if not end.get("process_ended", True) and end.get("outcome") == "on":
        case["stands"] = True
        case["timeout"] = end.get("ended_ms", 0) / 1000 + STANDING_GRACE_S
    return case, None


def keys_to_a_box(scenario, end):
    """The presses of the world that a PC's message box would take as an answer: keys of
    run_wine.BOX_KEYS that the simulator delivered to a standing "Warning" box."""
    box_keys = {run_wine.instant_ms(step) for step in scenario.get("timeline", [])
                if step.get("do") == "key" and step.get("vk") in run_wine.BOX_KEYS}
    return [key for key in end.get("keys", [])
            if key.get("at_ms") in box_keys and "delivered to the window 'Warning'" in key.get("fate", "")]


def make_prefixes(first, count, bits):
    """`count` prefixes: `first` made by wineboot, the others copies of it."""
    seconds = run_wine.make_prefix(first, bits=bits)
    prefixes = [first]
    for n in range(1, count):
        copy = first.parent / ("%s-%d" % (first.name, n))
        shutil.copytree(first, copy, symlinks=True)
        prefixes.append(copy)
    return prefixes, seconds


def run(opts, devsim, build, bits, workdir):
    """Runs the swarm; prints a line per world and the last line; returns the failures."""
    first, last = (int(x) for x in opts.swarm.split(".."))
    carried, not_carried, broken = [], {}, 0
    for seed in range(first, last + 1):
        try:
            case, reasons = prepare(devsim, seed, workdir, opts.jitter_ms, opts.instances)
        except AssertionError as e:
            # The simulator itself fails on the world: a difference, without running Wine.
            print("seed %-5d DIFFERS before Wine: %s" % (seed, str(e).replace("\n", "\n  ")))
            broken += 1
            continue
        if case is None:
            print("seed %-5d not carried: %s" % (seed, "; ".join(reasons)))
            for reason in reasons:
                not_carried[reason] = not_carried.get(reason, 0) + 1
            not_carried.setdefault("_worlds", 0)
            not_carried["_worlds"] += 1
        else:
            carried.append((seed, case))
    jobs = max(1, min(opts.jobs, len(carried)))
    prefixes, seconds = make_prefixes(workdir / "prefix", jobs, bits) if carried else ([], 0.0)
    if carried:
        print("%d %d-bit prefixes ready in %.1f s" % (jobs, bits, seconds))
    free = list(enumerate(prefixes))

    def one(item):
        seed, case = item
        slot, prefix = free.pop()
        try:
            return seed, case, differential.run_case(
                "world-%d" % seed, case, devsim, prefix, build, workdir, bits, display=DISPLAY_BASE + 10 * slot)
        except (AssertionError, run_wine.RunnerError) as e:
            return seed, case, ([str(e)], 0.0)
        finally:
            free.append((slot, prefix))

    agree = 0
    try:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            for seed, case, (problems, seconds) in pool.map(one, carried):
                agree += not problems
                notes = "; " + "; ".join(case["notes"]) if case["notes"] else ""
                print("seed %-5d %s (wine %.1f s%s%s)" % (
                    seed, "DIFFERS" if problems else "agrees", seconds,
                    ", cut as the program waits for ever" if case.get("stands") else "", notes))
                for problem in problems:
                    print("  " + problem.replace("\n", "\n  "))
    finally:
        for prefix in prefixes:
            run_wine.stop_wineserver(prefix, bits)
    left = not_carried.pop("_worlds", 0)
    reasons = ", ".join("%s %d" % (r, n) for r, n in sorted(not_carried.items(), key=lambda x: -x[1]))
    print("%d of %d worlds agree (%d not carried%s)" % (
        agree, len(carried) + broken, left, ": " + reasons if reasons else ""))
    return len(carried) + broken - agree
