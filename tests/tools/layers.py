#!/usr/bin/env python3
"""Keeps the simulator's dependencies running one way.

The simulator's folders form layers: a file may include headers of its own folder and of
folders below it, never of a folder above. The program's folders reach the handset only through
platform/, and nothing is left loose directly in sim/ but its one public header.
Exits 1 and names each offending include; prints a one-line summary otherwise.
"""
import pathlib
import re
import sys

# Lower numbers are lower layers. Folders of one rank may not include each other.
RANKS = {
    "base": 0,      # 16-bit text, formatting, the seeded generator
    "kernel": 1,    # threads, virtual time, handles, the event log, fault rules
    "scenario": 2,  # the scenario file, .reg text, the timeline of outside events
    "devices": 3,   # the handset's parts and the platform operations
    "checks": 4,    # invariants over a finished run
    "views": 5,     # what a person sees of a run
    "explore": 5,   # many runs: exploration and the fault sweep
}
PROGRAM = ["app", "power", "registry", "rtc", "steps", "autoshutdown", "platform"]
ALLOWED_LOOSE = {"sim.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# A free routine declared at namespace scope in a header: "Type Name(...);" on lines of its own.
DECLARED = re.compile(r"^(?!\s)(?:inline\s+)?[\w:<>,\s\*&]+?[\s\*&](\w+)\((?:[^;{}]*)\)\s*;", re.M)
# Its definition in a source file: the same name, not as a member, with a body.
DEFINED = r"^(?!\s)[\w:<>,\s\*&]+?[\s\*&]{name}\([^;{{}}]*\)\s*(?:const\s*)?\{{"


def includes(path):
    return INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace"))


def in_anonymous_namespace(text, pos):
    """True when `pos` lies inside a "namespace {" ... "}  // namespace" block: a routine of the
    file's own that only shares a name."""
    for m in re.finditer(r"^namespace \{\n", text, re.M):
        end = text.find("}  // namespace\n", m.end())
        if m.end() <= pos < (end if end >= 0 else len(text)):
            return True
    return False


def misplaced_definitions(root, sim):
    """A routine a folder's header declares must be defined in that folder: a definition in
    another folder (a higher layer defining what a lower one promises) hides the dependency."""
    declared = {}
    for header in sorted(sim.glob("*/*.h")):
        for name in DECLARED.findall(header.read_text(encoding="utf-8", errors="replace")):
            declared.setdefault(name, header.parent.name)
    problems = []
    sources = {src: src.read_text(encoding="utf-8", errors="replace") for src in sorted(sim.glob("*/*.cpp"))}
    for name, folder in sorted(declared.items()):
        pattern = re.compile(DEFINED.format(name=re.escape(name)), re.M)
        for src, text in sources.items():
            if src.parent.name == folder:
                continue
            if any(not in_anonymous_namespace(text, m.start()) for m in pattern.finditer(text)):
                problems.append(f"{src.relative_to(root)}: defines {name}, which sim/{folder}/ declares; "
                                f"define it in sim/{folder}/")
    return problems


def main(root):
    root = pathlib.Path(root)
    sim = root / "sim"
    problems = []
    for loose in sorted(p.name for p in sim.iterdir() if p.is_file()):
        if loose not in ALLOWED_LOOSE:
            problems.append(f"sim/{loose}: a file directly in sim/ belongs in one of its folders")
    checked = 0
    for folder in sorted(p for p in sim.iterdir() if p.is_dir()):
        if folder.name not in RANKS:
            problems.append(f"sim/{folder.name}/: a folder without a layer; add it to {__file__}")
            continue
        for src in sorted(folder.rglob("*")):
            if src.suffix not in (".h", ".cpp", ".in"):
                continue
            checked += 1
            for inc in includes(src):
                parts = inc.split("/")
                if parts[0] != "sim" or len(parts) < 3:
                    continue
                target = parts[1]
                if target not in RANKS:
                    problems.append(f"{src.relative_to(root)}: includes {inc}, outside every layer")
                elif target != folder.name and RANKS[target] >= RANKS[folder.name]:
                    problems.append(f"{src.relative_to(root)}: includes {inc}, which is not below "
                                    f"sim/{folder.name}/")
    problems += misplaced_definitions(root, sim)
    for name in PROGRAM:
        for src in sorted((root / name).rglob("*")):
            if src.suffix in (".h", ".cpp"):
                checked += 1
                for inc in includes(src):
                    if inc.startswith("sim/"):
                        problems.append(f"{src.relative_to(root)}: the program includes {inc}")
    for p in problems:
        print(p)
    print(f"layers: {checked} files checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))
