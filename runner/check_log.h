// devsim check: the invariants over an event log recorded outside the simulator.
#pragma once

#include <string>

// Reads an event log (JSON Lines, in the form of `devsim --events`), for example one that the
// handset services recorded during a run of the program under Wine, and judges it by the
// invariants that need nothing but such a log (those the table of invariants marks so). Prints
// each violation; returns 0 when they hold, 5 when one is violated, 2 when the log is unreadable.
int RunCheckLog(const std::string& path);
