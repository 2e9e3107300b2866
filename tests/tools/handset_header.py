#!/usr/bin/env python3
"""Checks that platform/platform.h picks its branch from what the build says it is for.

A compiler for the handset's own system defines _WIN32 as a PC's compiler does; only a build
that says it is for a PC (HS_PLATFORM_PC) may get the PC's Windows header, whose message boxes
are of class "#32770" where the handset's are "Dialog". The handset's SDK is not on this
machine, so the handset build is compiled syntax only against a stand-in for its headers
(handset_sdk_stub/): what this shows is the branch taken and the box class, not the SDK's
declarations. Usage: handset_header.py CXX SOURCE_DIR
"""
import pathlib
import subprocess
import sys


def compile_check(cxx, root, defines):
    here = root / "tests" / "tools"
    cmd = [cxx, "-std=c++20", "-fsyntax-only", "-I", str(root), "-I", str(here / "handset_sdk_stub")]
    cmd += ["-D" + d for d in defines] + [str(here / "handset_header_check.cpp")]
    return subprocess.run(cmd, capture_output=True, text=True)


def main(cxx, root):
    root = pathlib.Path(root)
    cases = [
        # (what, defines, compiles, text the errors must contain)
        ("a build for the handset", ["_WIN32", "_WIN32_WCE=0x520", 'EXPECTED_BOX_CLASS="Dialog"',
                                     "EXPECT_HANDSET_SDK"], True, ""),
        ("the simulated handset", ['EXPECTED_BOX_CLASS="Dialog"'], True, ""),
        ("the handset's class asked of a handset build", ["_WIN32", "_WIN32_WCE=0x520",
                                                          'EXPECTED_BOX_CLASS="#32770"',
                                                          "EXPECT_HANDSET_SDK"], False, "box class"),
        ("a Windows compiler that does not say what it builds for", ["_WIN32",
                                                                     'EXPECTED_BOX_CLASS="Dialog"'],
         False, "HS_PLATFORM_PC"),
    ]
    failed = 0
    for what, defines, compiles, text in cases:
        r = compile_check(cxx, root, defines)
        ok = (r.returncode == 0) == compiles and text in r.stderr
        print(("ok    " if ok else "FAIL  ") + what + ": " + " ".join("-D" + d for d in defines))
        if not ok:
            failed += 1
            print(r.stderr[-3000:])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
