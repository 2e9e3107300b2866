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
import run_wine  # noqa: E402
import swarm  # noqa: E402

DEVSIM = None

# A world on the built-in handset, mode 1, with the radio's confirmation as its one instant.
RADIO_WORLD = 'base = "builtin"\n[radio]\nconfirm = "off"\nconfirm_after_ms = %d\n'


class NotCarried(unittest.TestCase):
    def test_reasons(self):
        table = [
            ({}, []),
            ({"faults": {"fail": ["CreateMutexW@1"]}}, ["platform faults"]),
            ({"faults": {"fail": []}}, []),
            ({"other_process": [{"mutexes": ["UIShutDown"]}]}, ["other processes"]),
            ({"clock_alarms": {"count": 3}}, ["clock alarms"]),
            ({"timeline": [{"do": "key"}, {"do": "key"}, {"do": "delete_registry"}]}, ["key presses"]),
            ({"timeline": [{"do": "show_box"}, {"do": "close_box"}]}, ["other processes' boxes"]),
            ({"radio": {"confirm": "never"}}, []),
            ({"radio": {"confirm": "short_payload"}}, ["radio confirmation short_payload"]),
            ({"radio": {"notify": [{"code": 1}]}}, ["extra radio reports"]),
            ({"processes": {"snapshot": "ok", "extra_processes": 300}}, ["process snapshot knobs"]),
            ({"leds": {"leds": [{"cycle_adjust": -1, "settings_fails": True}]}}, ["LED queries failing"]),
            ({"library": [{"path": "x", "exports": []}]}, ["a library without the animation entry"]),
            ({"file": [{"path": "x", "size_fails": True}]}, ["file reads failing"]),
        ]
        for scenario, reasons in table:
            with self.subTest(scenario=scenario):
                self.assertEqual(run_wine.not_carried(scenario), reasons)

    def test_the_built_in_handset_is_carried(self):
        self.assertEqual(run_wine.not_carried(run_wine.read_scenario(None)), [])


class Instants(unittest.TestCase):
    TEXT = ("answers = [ 'yes@1500', 'none', \"cancel@20\" ]\nconfirm_after_ms = 1100\n"
            "uptime_ms = 5400000\n[[timeline]]\nat_us = 2500000\n[[timeline]]\nat_ms = 7\n"
            "suspend_returns_after_ms = 60001\n")

    def test_found_in_order_with_their_units(self):
        found = [(value, unit) for _, _, value, unit in swarm.instants(self.TEXT)]
        self.assertEqual(found, [(1500, 1000), (20, 1000), (1100, 1000), (2500000, 1), (7, 1000),
                                 (60001, 1000)])

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


if __name__ == "__main__":
    if len(sys.argv) > 1:
        DEVSIM = Path(sys.argv.pop(1))
    unittest.main()
