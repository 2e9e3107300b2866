#!/usr/bin/env python3
"""The differential swarm's preparation, without Wine: which worlds the runner carries and why
not, and the moving apart of instants that sit within a PC's jitter of what they meet.

    tests/wine/swarm_test.py DEVSIM
"""

import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "wine"))
import differential  # noqa: E402
import run_wine  # noqa: E402
import swarm  # noqa: E402

DEVSIM = None

# A world on the built-in handset, mode 1, with the radio's confirmation as its one instant.
RADIO_WORLD = 'base = "builtin"\n[radio]\nconfirm = "off"\nconfirm_after_ms = %d\n'


class NotCarried(unittest.TestCase):
    def test_reasons(self):
        table = [
            ({}, []),
            # Faults of the handset's own services are carried; real Windows calls are not.
            ({"faults": {"fail": ["GpioSetValue@2", "CeGetUserNotification:3@1+", "RIL_Initialize"]}}, []),
            ({"faults": {"fail": ["CreateMutexW@1", "MessageBoxW:Warning", "GpioSetValue", "EnumWindows:x@2+",
                                  "LoadLibraryW@3", "SetEvent@2", "GetFileSize:\\Windows\\a.wav", "GetFileSize@1",
                                  "CreateThread:AutoShutdownThread", "SetEvent", "WaitForSingleObject@3"]}},
             ["a fault of EnumWindows, which the PC's process list drives",
              "a fault of GetFileSize for one object", "a fault of CreateThread for one object",
              "a fault of the real Windows call WaitForSingleObject"]),
            ({"faults": {"fail": []}}, []),
            ({"other_process": [{"mutexes": ["UIShutDown"], "box": {"title": "Warning"}}]}, []),
            ({"other_process": [{"box": {"class": "PhoneApp"}}]}, ["another process's window of class PhoneApp"]),
            ({"clock_alarms": {"count": 3}}, []),
            ({"timeline": [{"do": "key", "vk": 68}, {"do": "delete_registry"}, {"do": "start_program"}]}, []),
            ({"timeline": [{"do": "key", "vk": 13}, {"do": "key", "vk": 68, "hook_code": -1}]},
             ["a key press with a hook code of its own"]),
            ({"processes": {"snapshot": "fails"}}, []),
            ({"processes": {"snapshot": "first_unreadable"}}, ["process snapshot knobs"]),
            ({"timeline": [{"do": "show_box"}, {"do": "close_box"}, {"do": "set_registry"},
                           {"do": "hold_mutex"}, {"do": "release_mutex"}]}, []),
            ({"timeline": [{"do": "show_box", "pid": 7}]}, ["another process's box by pid"]),
            ({"timeline": [{"do": "launch_rocket"}]}, ["timeline action launch_rocket"]),
            ({"radio": {"confirm": "never"}}, []),
            ({"radio": {"confirm": "short_payload", "notify": [{"code": 1}], "init_result": 5}}, []),
            ({"radio": {"confirm": "sideways"}}, ["radio confirmation sideways"]),
            ({"radio": {"confirm_jitter_us": 300}}, ["radio confirmation jitter"]),
            ({"processes": {"snapshot": "ok", "extra_processes": 300}}, ["process snapshot knobs"]),
            ({"leds": {"count_fails": True, "leds": [{"cycle_adjust": -1, "settings_fails": True}]}}, []),
            ({"library": [{"path": "x", "exports": []}]}, ["a library without the animation entry"]),
            ({"file": [{"path": "x", "size_fails": True}]}, ["file reads failing"]),
        ]
        for scenario, reasons in table:
            with self.subTest(scenario=scenario):
                self.assertEqual(run_wine.not_carried(scenario), reasons)

    def test_the_built_in_handset_is_carried(self):
        self.assertEqual(run_wine.not_carried(run_wine.read_scenario(None)), [])


class Settings(unittest.TestCase):
    """What the runner hands the PC side: the services' settings and the helper's acts."""

    def settings(self, scenario):
        return "\n".join(run_wine.settings_lines({**run_wine.read_scenario(None), **scenario}))

    def test_clock_alarms_follow_the_notifications_in_order(self):
        base = {"clock": {"start": "2008-06-15 06:40:00"}, "notifications": [{"start": "2008-06-16 06:30:00"}]}
        table = [
            ({"count": 2, "every_ms": 60000}, ["2008-06-16 06:30:00", "2008-06-15 06:41:00", "2008-06-15 06:42:00"]),
            ({"count": 3, "every_ms": 86400000, "descending": True},
             ["2008-06-16 06:30:00", "2008-06-18 06:40:00", "2008-06-17 06:40:00", "2008-06-16 06:40:00"]),
            ({"count": 1, "first": "2009-01-01 00:00:00"}, ["2008-06-16 06:30:00", "2009-01-01 00:00:00"]),
            ({"count": 0}, ["2008-06-16 06:30:00"]),
        ]
        for series, starts in table:
            with self.subTest(series=series):
                entries = run_wine.notifications({**base, "clock_alarms": series})
                self.assertEqual([e["start"] for e in entries], starts)

    def test_the_series_is_pinned_for_the_simulator(self):
        text = "[clock]\nstart = '2008-06-15 06:40:00'\n[clock_alarms]\ncount = 2\nevery_ms = 1000\n"
        pinned = swarm.pin_clock_alarms(text, {"clock": {"start": "2008-06-15 06:40:00"},
                                               "clock_alarms": {"count": 2, "every_ms": 1000}})
        self.assertIn("[clock_alarms]\nfirst = '2008-06-15 06:40:01'\ncount = 2", pinned)

    def test_faults_radio_and_leds_reach_the_services(self):
        text = self.settings({
            "faults": {"fail": ["GpioSetValue:68@1", "RIL_DevSpecific"]},
            "radio": {"confirm": "mask_clear", "command_result": 0x80004005,
                      "notify": [{"after_ms": 40, "words": [0x100, 2]}, {"code": 7}]},
            "leds": {"count_fails": True, "leds": [{"cycle_adjust": -1, "supports_fails": True}]}})
        for line in ['"Rule1"="GpioSetValue:68@1"', '"Rule2"="RIL_DevSpecific"', '"Confirm"="mask_clear"',
                     '"CommandResult"=dword:80004005', '"Words"="100 2"', '"AfterMs"=dword:00000028',
                     '"Code"=dword:00000007', '"CountFails"=dword:00000001', '"SupportsFails0"=dword:00000001']:
            self.assertIn(line, text)
        # A notification without words has no payload: no Words value at all.
        self.assertEqual(text.count('"Words"'), 1)

    def test_the_helper_plays_the_outside_world(self):
        scenario = {"other_process": [{"mutexes": ["UIShutDown", "LpShutDown"], "box": {"title": "Warning"}}],
                    "timeline": [
                        {"do": "set_registry", "at_us": 2500000, "key": "K", "value": "V", "dword": 1},
                        {"do": "set_registry", "at_ms": 7, "key": "K", "value": "S", "string": "a b"},
                        {"do": "hold_mutex", "at_ms": 9, "name": "NormalShutdown"},
                        {"do": "close_box", "at_ms": 11}]}
        self.assertEqual(run_wine.helper_acts(scenario), [
            "--hold-mutex", "UIShutDown@0", "--hold-mutex", "LpShutDown@0", "--show-box", "Warning@0",
            "--set-dword", "K", "V", "1@2500", "--set-string", "K", "S", "a b@7",
            "--hold-mutex", "NormalShutdown@9", "--close-box", "Warning@11"])


class SameValueSets(unittest.TestCase):
    """A set of a value to what it holds is a callback on the handset and none on a PC."""
    REG = {"registry": {"text": '[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n"Active Call Count"=dword:00000000\n',
                        "patch": '[HKLM\\System\\State\\Phone]\n"Active Call Count"=dword:00000001\n"Name"="a\\\\b"\n'}}

    def sets(self, *steps):
        timeline = [dict(step, key="System\\State\\Phone") for step in steps]
        return [step["at_ms"] for step in run_wine.same_value_sets({**self.REG, "timeline": timeline})]

    def test_found_in_time_order(self):
        table = [
            # The patch wins over the text: the count holds 1.
            ([{"do": "set_registry", "value": "Active Call Count", "dword": 1, "at_ms": 5}], [5]),
            ([{"do": "set_registry", "value": "active call count", "dword": 0, "at_ms": 5}], []),
            # In time order, whatever the order of the entries.
            ([{"do": "set_registry", "value": "Active Call Count", "dword": 2, "at_ms": 9},
              {"do": "set_registry", "value": "Active Call Count", "dword": 2, "at_ms": 7}], [9]),
            # A deleted value set again is a change.
            ([{"do": "delete_registry", "value": "Active Call Count", "at_ms": 3},
              {"do": "set_registry", "value": "Active Call Count", "dword": 1, "at_ms": 4}], []),
            ([{"do": "set_registry", "value": "Name", "string": "a\\b", "at_ms": 2}], [2]),
        ]
        for steps, same in table:
            with self.subTest(steps=steps):
                self.assertEqual(self.sets(*steps), same)


class Instances(unittest.TestCase):
    def test_threads_named_by_instance_and_start_routine(self):
        events = [
            {"pid": 10, "thread": "main", "tid": 1},
            {"pid": 10, "thread": "start:0x10", "tid": 2},
            {"op": "program.start", "thread": "device", "args": {"pid": 20, "instance": 2}},
            {"pid": 20, "thread": "main", "tid": 3},
            {"pid": 20, "thread": "start:0x10", "tid": 4},
            {"pid": 20, "tid": 4, "op": "DoShutdownAnimation"},
            {"pid": 20, "thread": "device"},
            {"pid": 20, "thread": "radio", "tid": 5},
        ]
        named = run_wine.name_threads(events, {0x10: "AutoShutdownThread"})
        self.assertEqual([(e.get("instance"), e["thread"]) for e in named], [
            (1, "main"), (1, "AutoShutdownThread"), (None, "device"), (2, "2:main"),
            (2, "2:AutoShutdownThread"), (2, "2:AutoShutdownThread"), (2, "device"), (2, "2:radio")])

    def test_command_lines_of_further_instances(self):
        table = [({"args": ["2"]}, "2"), ({"cmdline": "3 x"}, "3 x"), ({"args": ["1", "a b", ""]}, '1 "a b" ""')]
        for step, cmdline in table:
            self.assertEqual(run_wine.program_cmdline(step), cmdline)


class KeysToABox(unittest.TestCase):
    def test_only_answer_keys_that_reached_a_box(self):
        scenario = {"timeline": [{"do": "key", "vk": 13, "at_ms": 100}, {"do": "key", "vk": 68, "at_ms": 200},
                                 {"do": "key", "vk": 27, "at_us": 300000}]}
        box = "delivered to the window 'Warning' of shutdown.exe"
        table = [
            ([{"at_ms": 100, "fate": box}], 1),
            ([{"at_ms": 200, "fate": box}], 0),  # not a key a box takes
            ([{"at_ms": 300, "fate": box}], 1),
            ([{"at_ms": 100, "fate": "swallowed by a keyboard hook"}], 0),
            ([{"at_ms": 100, "fate": "delivered to the window 'Desktop' of shell32.exe"}], 0),
        ]
        for keys, found in table:
            with self.subTest(keys=keys):
                self.assertEqual(len(swarm.keys_to_a_box(scenario, {"keys": keys})), found)


class Comparison(unittest.TestCase):
    def test_lines_masked_as_named(self):
        table = [
            ("[SHUTDOWN|ShutDownAnimation]LoadLibrary error=2", "[SHUTDOWN|ShutDownAnimation]LoadLibrary error=<not found>"),
            ("[SHUTDOWN|ShutDownAnimation]LoadLibrary error=126", "[SHUTDOWN|ShutDownAnimation]LoadLibrary error=<not found>"),
            ("[SHUTDOWN|ShutDownAnimation]LoadLibrary error=1260", "[SHUTDOWN|ShutDownAnimation]LoadLibrary error=1260"),
            ("[Shutdown|NormalShutdown] Ril Down- 12345", "[Shutdown|NormalShutdown] Ril Down- <ticks>"),
        ]
        for line, seen in table:
            with self.subTest(line=line):
                events = [{"op": "NKDbgPrintfW", "kind": "call", "thread": "2:main", "args": {"text": line + "\r\n"}}]
                self.assertEqual(differential.thread_lines(events), {"2:main": [seen]})


def call(t_ms, thread="main", op="NKDbgPrintfW", pid=1, end_ms=None, **extra):
    e = {"t_us": t_ms * 1000, "kind": "call", "thread": thread, "pid": pid, "op": op}
    if end_ms is not None:
        e["t_end_us"] = end_ms * 1000
    e.update(extra)
    return e


def watchdog_wait(t_ms, result="WAIT_TIMEOUT", thread="AnimTimeoutThread", pid=1):
    return call(t_ms, thread, "WaitForSingleObject", pid, t_ms + 60000, caller="AnimTimeoutThread",
                args={"timeout_ms": 60000}, result=result)


class QuietCut(unittest.TestCase):
    """When the PC may end the watchdog's minute early: the simulator's run shows the program
    quiet from some point in the wait to its end, with nothing of the world to come."""

    def test_cut_only_where_the_wait_is_quiet_to_its_end(self):
        device = lambda t_ms, op: {"t_us": t_ms * 1000, "kind": "device", "thread": "device", "op": op}
        sequence = [call(1010), call(1020, op="SetSystemPowerState"), device(1020, "power.suspend")]
        down = [call(61000, "AnimTimeoutThread"), device(61000, "pmu.power_off")]
        waits = watchdog_wait(1000)
        table = [
            ("the sequence ends, then nothing until the time-out", waits, sequence + down, (60000, 5000)),
            ("no watchdog wait at all", None, sequence, None),
            ("the wait ends by a signal", watchdog_wait(1000, "WAIT_OBJECT_0"), sequence, None),
            ("a parked thread sleeps through it", waits,
             sequence + [call(t, op="Sleep") for t in range(1100, 61000, 100)] + down, (60000, 5000)),
            ("another instance runs in it", waits, sequence + [call(30000, "2:main", pid=2)] + down, None),
            ("a box of another process closes just after the program", waits,
             sequence + [device(2000, "windows.closed")] + down, (60000, 5000)),
            ("a box of another process closes when the PC would cut", waits,
             sequence + [device(5000, "windows.closed")] + down, None),
            ("a key pressed late reaches the program", waits, sequence + [device(40000, "key"), call(40001)] + down,
             None),
            # A gap of 4 s between the program's calls (a suspend that returns late) is quiet the
            # PC must not take for the end: it waits three times as long.
            ("the program's calls 4 s apart", waits,
             [call(1010), call(1020, op="SetSystemPowerState", end_ms=5020), call(5030)] + down, (60000, 12000)),
            ("the program busy until late in the wait", waits, [call(1010), call(45000)] + down, None),
            ("another thread after the time-out", waits, sequence + down + [call(61500, "regnotify")], None),
            ("a parked thread after the time-out", waits, sequence + down + [call(61500, op="Sleep")], (60000, 5000)),
        ]
        for name, wait, events, cut in table:
            with self.subTest(name):
                run = sorted(([wait] if wait else []) + events, key=lambda e: e["t_us"])
                self.assertEqual(differential.quiet_cut(run), cut)


class CutShortByTheEnd(unittest.TestCase):
    """What a thread did in the last moments before the power went or the process ended may be
    missing on a PC."""

    def test_only_the_last_moments_may_be_missing_and_only_at_the_end(self):
        print_at = lambda t_ms, thread, text: call(t_ms, thread, args={"text": text + "\r\n"})
        sim = [print_at(1000, "main", "a"), print_at(18000, "main", "b"),
               print_at(18700, "AnimTimeoutThread", "run"), print_at(18710, "AnimTimeoutThread", "gps"),
               print_at(18720, "AnimTimeoutThread", "bt"), call(18768, "main", "SetSystemPowerState")]
        power_gone = [{"t_us": 5, "kind": "device", "thread": "device", "op": "process.power_gone"}]
        returned = [{"t_us": 5, "kind": "device", "thread": "device", "op": "process.exit"}]
        full = differential.thread_lines(sim)
        table = [
            # (how the Wine run ended, Wine's lines, differs)
            (power_gone, {"main": ["a", "b"], "AnimTimeoutThread": ["run"]}, False),
            (power_gone, {"main": ["a", "b"]}, False),
            (returned, {"main": ["a", "b"], "AnimTimeoutThread": ["run", "gps"]}, False),
            (power_gone, full, False),
            (power_gone, {"main": ["a", "b"], "AnimTimeoutThread": ["gps"]}, True),  # not a prefix
            (power_gone, {"main": ["a"], "AnimTimeoutThread": ["run", "gps", "bt"]}, True),  # b came long before
            ([], {"main": ["a", "b"], "AnimTimeoutThread": ["run"]}, True),  # cut off by the runner
        ]
        for ended, wine, differs in table:
            with self.subTest(ended=ended, wine=wine):
                problems = []
                before = differential.before_the_end(ended, sim)
                differential.compare_threads("trace lines", wine, full, problems,
                                             None if before is None else differential.thread_lines(before))
                self.assertEqual(bool(problems), differs, problems)


class OneRadio(unittest.TestCase):
    def test_every_instances_radio_thread_is_the_handsets_one(self):
        events = [call(1, "radio"), call(2, "2:radio"), call(3, "12:radio"), call(4, "2:main"), call(5, "radio2")]
        self.assertEqual([e["thread"] for e in differential.one_radio_thread(events)],
                         ["radio", "radio", "radio", "2:main", "radio2"])


class Instants(unittest.TestCase):
    TEXT = ("answers = [ 'yes@1500', 'none', \"cancel@20\" ]\nconfirm_after_ms = 1100\n"
            "uptime_ms = 5400000\n[[timeline]]\nat_us = 2500000\n[[timeline]]\nat_ms = 7\n"
            "suspend_returns_after_ms = 60001\n[[library]]\nplays_ms = 2500\n")

    def test_found_in_order_with_their_units(self):
        found = [(value, unit) for _, _, value, unit in swarm.instants(self.TEXT)]
        self.assertEqual(found, [(1500, 1000), (20, 1000), (1100, 1000), (2500000, 1), (7, 1000),
                                 (60001, 1000), (2500, 1000)])

    def test_a_further_instance_is_settled_over_wines_start(self):
        text = ("[radio]\nconfirm_after_ms = 900\n[[timeline]]\nat_ms = 7000\ndo = \"start_program\"\n"
                "args = [\"2\"]\n[[timeline]]\nat_ms = 8000\ndo = \"key\"\nvk = 68\n")
        late = 400 + swarm.START_LATENCY_MS
        self.assertEqual([swarm.starts_program(text, i) for i in range(3)], [False, True, False])
        # Against a program that a PC runs more slowly, any instant may come early by its pace.
        early = -400 - swarm.PACE_MS
        ordinary = (early, early + 400, early + 800, early + 1200, 400)
        self.assertEqual(swarm.window(text, 0, 400), ordinary)
        self.assertEqual(swarm.window(text, 2, 400), ordinary)
        self.assertEqual(swarm.window(self.TEXT, 5, 400), ordinary)
        # An answer may also come late by a PC's slow box.
        answer = swarm.window(self.TEXT, 0, 400)
        self.assertEqual((answer[0], answer[-1]), (early, 400 + swarm.BOX_LATENCY_MS))
        self.assertTrue(all(0 < b - a <= 800 for a, b in zip(answer, answer[1:])))
        # The animation's length stands for the program's pace, which a PC slows.
        pace = swarm.window(self.TEXT, 6, 400)
        self.assertEqual((pace[0], pace[-1]), (early, 400 + swarm.PACE_MS))
        moves = swarm.window(text, 1, 400)
        # Every jitter's step to one jitter past the latest start, both ways (another start is
        # late by its own time).
        self.assertEqual((moves[0], moves[-1]), (-late, late))
        self.assertTrue(all(0 < b - a <= 400 for a, b in zip(moves, moves[1:])))

    def test_moved_in_milliseconds_never_below_zero(self):
        self.assertIn("at_us = 2900000\n", swarm.moved(self.TEXT, 3, 400))
        self.assertIn("'yes@1100'", swarm.moved(self.TEXT, 0, -400))
        self.assertIn("at_ms = 0\n", swarm.moved(self.TEXT, 4, -400))
        self.assertIn("\"cancel@0\"", swarm.moved(self.TEXT, 1, -400))


@unittest.skipIf(len(sys.argv) < 2, "needs the path of devsim")
class Settle(unittest.TestCase):
    def settle(self, confirm_ms):
        with tempfile.TemporaryDirectory() as work:
            sim = swarm.Simulator(DEVSIM, work, ["1"])
            return swarm.settle(RADIO_WORLD % confirm_ms, sim, 400, "t")

    def test_an_instant_far_from_any_mark_stays(self):
        text, notes = self.settle(5000)
        self.assertEqual((text, notes), (RADIO_WORLD % 5000, []))

    def test_a_confirmation_at_the_radio_bound_is_moved_apart(self):
        # The program waits 15 s for the radio: a confirmation 10 ms before is a race on a PC.
        text, notes = self.settle(14990)
        self.assertIsNotNone(text)
        self.assertEqual(len(notes), 1)
        moved_to = swarm.instants(text)[0][2]
        self.assertGreaterEqual(abs(moved_to - 15000), 400)

    def test_a_start_on_the_prompts_timeout_is_moved_past_wines_start(self):
        # Mode 3's box stands from 3 s and times out 13 s later, at 16 s: a second mode 3 start
        # just before it is refused or not as Wine's start of the process decides.
        world = ('base = "builtin"\n[power]\nsuspend = "ends_run"\n[[timeline]]\nat_ms = %d\n'
                 'do = "start_program"\nargs = ["3"]\n')
        with tempfile.TemporaryDirectory() as work:
            sim = swarm.Simulator(DEVSIM, work, ["3"])
            text, notes = swarm.settle(world % 15900, sim, 400, "t")
            self.assertIsNotNone(text)
            self.assertEqual(len(notes), 1)
            base = sim.view(text, "t")
            for d in swarm.window(text, 0, 400):
                self.assertEqual(sim.view(swarm.moved(text, 0, d), "t"), base, d)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        DEVSIM = Path(sys.argv.pop(1))
    unittest.main()
