#!/usr/bin/env python3
"""Checks the set-up scripts: ./run.sh installs only what building and running devsim needs.

1. setup.sh's "run" list is a subset of its "test" list (./test.sh installs everything
   ./run.sh does), and run.sh and test.sh ask for their own lists.
2. The default preset, configured as run.sh configures it, looks for nothing the tests bring
   (GoogleTest, Google Benchmark, Python), and every package and library it finds comes from
   run's list or what those packages pull in (dpkg and apt's local cache tell).
3. Its build graph makes devsim with the very commands of the default build with the tests
   (listed, not run), so that ./test.sh after ./run.sh compiles only the tests; and with line
   tables at most (-g1), since full debug information, which only a debugger needs, costs about
   two thirds more of the compiler's time.
Usage: setup_scripts.py SOURCE_DIR SCRATCH_DIR
"""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def listed(root, name):
    r = run([str(root / "setup.sh"), "--list", name])
    if r.returncode != 0:
        raise SystemExit(f"setup.sh --list {name} failed: {r.stderr}")
    return r.stdout.split()


def depends(packages):
    """The packages `packages` pull in, by apt's local cache (no download)."""
    r = run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
             "--no-breaks", "--no-replaces", "--no-enhances"] + packages)
    names = set(packages)
    for line in r.stdout.splitlines():
        m = re.match(r"^\s*(?:\|)?(?:Pre)?Depends: <?([^\s>]+)>?", line) or re.match(r"^([^\s<]+)$", line)
        if m:
            names.add(m.group(1).split(":")[0])
    return names


def main(root, scratch):
    root, scratch = pathlib.Path(root).resolve(), pathlib.Path(scratch).resolve()
    failures = []
    run_list, test_list = listed(root, "run"), listed(root, "test")
    if not run_list or len(set(run_list)) != len(run_list):
        failures.append(f"run's list is empty or repeats a package: {run_list}")
    missing = sorted(set(run_list) - set(test_list))
    if missing:
        failures.append(f"test's list lacks what run's has: {missing}")
    run_sh, test_sh = (root / "run.sh").read_text(), (root / "test.sh").read_text()
    if "./setup.sh run\n" not in run_sh or "./setup.sh test\n" not in test_sh:
        failures.append("run.sh must call ./setup.sh run, and test.sh ./setup.sh test")

    # Configure as run.sh does, in a scratch folder.
    m = re.search(r"^cmake --preset default(.*?)>/dev/null$", run_sh.replace("\\\n", " "), re.M)
    if not m:
        failures.append("run.sh's configure line (cmake --preset default ...) not found")
        options = []
    else:
        options = shlex.split(m.group(1))
    shutil.rmtree(scratch, ignore_errors=True)
    r = run(["cmake", "--preset", "default", "-B", str(scratch)] + options, cwd=root)
    if r.returncode != 0:
        failures.append("configure as run.sh does failed:\n" + r.stdout[-2000:] + r.stderr[-2000:])
    else:
        cache = (scratch / "CMakeCache.txt").read_text()
        for test_only in ("GTest_DIR", "benchmark_DIR", "Python3_EXECUTABLE"):
            if re.search("^" + test_only + ":", cache, re.M):
                failures.append(f"configured as run.sh does, CMake still looks for {test_only}")
        allowed = depends(run_list)
        for name, path in re.findall(r"^(\w+(?:_DIR|_LIBRARY_RELEASE)|HS_MIMALLOC):\w+=(/\S+)$", cache, re.M):
            # "pkg:arch, pkg2: /path"; a folder such as /usr/include has many owners.
            owner = run(["dpkg", "-S", path])
            first = owner.stdout.splitlines()[0] if owner.returncode == 0 and owner.stdout else ""
            owners = [o.strip().split(":")[0] for o in first.rsplit(": ", 1)[0].split(",")] if first else []
            if owners and not set(owners) & allowed:
                failures.append(f"{name} ({path}) comes from {owners}, which run's list does not bring")
        # Every command the build of devsim runs, without running them.
        r = run(["ninja", "-C", str(scratch), "-t", "commands", "devsim"])
        if r.returncode != 0 or not re.search(r"-o devsim\b", r.stdout):
            failures.append("no build of devsim from run.sh's configuration:\n" + r.stdout[-2000:] + r.stderr[-2000:])
        debug = [c for c in r.stdout.splitlines() if re.search(r"\s-g(?!1\b|0\b)\S*(\s|$)", c)]
        if debug:
            failures.append(f"{len(debug)} of run.sh's build commands make full debug information, e.g.:\n"
                            + debug[0][:300])
        run_commands = r.stdout
        with_tests = scratch.with_name(scratch.name + "-tests")
        shutil.rmtree(with_tests, ignore_errors=True)
        t = run(["cmake", "--preset", "default", "-B", str(with_tests)], cwd=root)
        listed_tests = run(["ninja", "-C", str(with_tests), "-t", "commands", "devsim"]) if t.returncode == 0 else t
        same = listed_tests.stdout.replace(str(with_tests), "B") == run_commands.replace(str(scratch), "B")
        if listed_tests.returncode != 0 or not same:
            failures.append("run.sh builds devsim with other commands than the default build with the tests: "
                            "./test.sh after ./run.sh would compile it all again")
        shutil.rmtree(with_tests, ignore_errors=True)
    shutil.rmtree(scratch, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    if not failures:
        print(f"set-up: run's {len(run_list)} packages within test's {len(test_list)}; "
              "devsim configures and builds from them alone")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
