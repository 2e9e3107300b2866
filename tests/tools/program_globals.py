#!/usr/bin/env python3
"""Keeps the simulator's reset of the program's variables complete.

One host process runs many handsets one after another, and before each run the simulator sets
every variable the program keeps at file scope back to its load-time value
(sim/devices/program_image.cpp). A variable the program gains and the reset does not name would
carry one run's state into the next. This finds each file-scope variable defined in the program's
folders and fails, naming it, when the reset does not mention it.
"""
import pathlib
import re
import sys

PROGRAM = ["app", "power", "registry", "rtc", "steps", "autoshutdown"]
RESET = "sim/devices/program_image.cpp"
SKIP = re.compile(r"^(#|//|/\*|\*|}|typedef\b|extern\b|using\b|namespace\b|struct\b|enum\b|"
                  r"(static\s+)?(constexpr|const)\b|static\s+inline\b|template\b|return\b)")
# A definition at file scope: type words, then the name, maybe an array bound, maybe an initializer.
DEFINITION = re.compile(r"^(?:static\s+)?[\w:<>,\s\*]+?[\s\*&>](\w+)\s*(?:\[[^\]]*\])?\s*(?:=.*|\(([^()]*)\))?;\s*(//.*)?$")


def file_scope_variables(text):
    names = []
    for line in text.splitlines():
        if not line or line[0].isspace() or SKIP.match(line):
            continue
        m = DEFINITION.match(line)
        if not m:
            continue
        inside = m.group(2)
        # "NAME(0);" initializes a variable; "Type Name(Type arg);" declares a routine.
        if inside is not None and re.search(r"\w\s+[\w\*]", inside):
            continue
        names.append(m.group(1))
    return names


def main(root):
    root = pathlib.Path(root)
    reset = (root / RESET).read_text(encoding="utf-8")
    found, missing = 0, []
    for folder in PROGRAM:
        for src in sorted((root / folder).rglob("*.cpp")):
            for name in file_scope_variables(src.read_text(encoding="utf-8", errors="replace")):
                found += 1
                if not re.search(r"\b" + re.escape(name) + r"\b", reset):
                    missing.append(f"{src.relative_to(root)}: {name} is not set back by {RESET}")
    for m in missing:
        print(m)
    if missing:
        return 1
    if found == 0:
        print("no variable found in the program's folders: the pattern no longer matches its style")
        return 1
    print(f"program variables: {found} found, each set back before a run")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
