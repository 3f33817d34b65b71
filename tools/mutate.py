#!/usr/bin/env python3
"""Plants single-operator faults in src/ one at a time and tells which the
fast suites (unit, process, net: about 20 seconds) catch.

    sudo tools/mutate.py [--seed N] [--count N] [--build DIR] [--dir src/app] [--list]

A fault is one operator changed at one place: == and != swapped, < and <=,
> and >=, && and ||, ++ and --, "+ 1" and "- 1" made "+ 0" and "- 0", true
and false swapped. Places are drawn from every line of src/*.cpp that is
code (not a comment, a preprocessor line or inside a string), in an order
the seed fixes, so two runs with one seed plant the same faults. A fault
that does not compile is no fault: the next place is drawn instead. Each
fault is built in its own build directory (default build/mutate), the
fast suites run, and the file is put back whatever happens; with --dir
src/app the printer application and its server suite are built and run
too (PAPPL must be installed). A developer's tool: the net suite needs
root, and a run of 40 takes about half an hour.
"""
import argparse
import os
import random
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGETS = ["unit_tests", "process_tests", "net_tests", "netbackend", "netbackend-probe",
           "fake_socket_backend"]
# The printer application's server and its fast suite, for faults in src/app.
APP_TARGETS = ["netbackend-printer-app", "app_server_tests"]

# (pattern, replacement): binary operators with the blanks the house style
# puts around them, so that templates, includes and "->" are not touched.
OPERATORS = [
    (r" == ", " != "), (r" != ", " == "),
    (r" <= ", " < "), (r" >= ", " > "),
    (r" < ", " <= "), (r" > ", " >= "),
    (r" && ", " || "), (r" \|\| ", " && "),
    (r"\+\+", "--"), (r"(?<![-\w])--", "++"),
    (r" \+ 1\b", " + 0"), (r" - 1\b", " - 0"),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
]


def code_only(line):
    """The line with string and character literals and // comments blanked,
    so that operators inside them are never taken for code."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))


def sites(folder):
    """Every (file, line number, column, old, new) a fault may be planted at."""
    found = []
    src = os.path.join(ROOT, folder)
    for name in sorted(os.listdir(src)):
        if not name.endswith(".cpp"):
            continue
        path = os.path.join(src, name)
        in_block = False
        with open(path) as f:
            for number, line in enumerate(f, 1):
                stripped = line.strip()
                if in_block or stripped.startswith("/*"):
                    in_block = "*/" not in stripped
                    continue
                if stripped.startswith(("#", "//")):
                    continue
                code = code_only(line)
                for pattern, new in OPERATORS:
                    for m in re.finditer(pattern, code):
                        found.append((path, number, m.start(), m.group(0), new))
    return found


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def configure(build):
    if os.path.exists(os.path.join(build, "CMakeCache.txt")):
        return True
    return run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DNETBACKEND_BENCH=OFF"], 300) == 0


def build_all(build, targets):
    return run(["cmake", "--build", build, "-j", str(os.cpu_count() or 2), "--target"] + targets,
               900) == 0


def fast_suites_pass(build):
    # A suite that hangs counts as caught, as a failing one does. Some net
    # tests measure waits, and a loaded machine can fail one now and then:
    # a fault counts as caught only when what failed fails again.
    ctest = ["ctest", "--test-dir", build, "--timeout", "120"]
    if run(ctest + ["-L", "unit|process|net", "-j", "4"], 600) == 0:
        return True
    return run(ctest + ["--rerun-failed"], 600) == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--list", action="store_true", help="list the sites and stop")
    parser.add_argument("--dir", default="src",
                        help="the folder whose .cpp files take the faults (src, or src/app)")
    args = parser.parse_args()

    candidates = sites(args.dir)
    if args.list:
        for path, number, column, old, new in candidates:
            print("%s:%d:%d %r -> %r" % (os.path.relpath(path, ROOT), number, column, old, new))
        return 0
    random.Random(args.seed).shuffle(candidates)
    targets = TARGETS + (APP_TARGETS if args.dir.rstrip("/").endswith("app") else [])
    if not configure(args.build) or not build_all(args.build, targets):
        print("mutate: the unchanged tree does not build in %s" % args.build, file=sys.stderr)
        return 1
    if not fast_suites_pass(args.build):
        print("mutate: the fast suites fail on the unchanged tree", file=sys.stderr)
        return 1

    caught = planted = 0
    for path, number, column, old, new in candidates:
        if planted == args.count:
            break
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        line = lines[number - 1]
        lines[number - 1] = line[:column] + new + line[column + len(old):]
        where = "%s:%d" % (os.path.relpath(path, ROOT), number)
        try:
            with open(path, "w") as f:
                f.write("\n".join(lines))
            if not build_all(args.build, targets):
                continue  # not a fault: it does not compile
            planted += 1
            survived = fast_suites_pass(args.build)
            caught += 0 if survived else 1
            print("%2d %-8s %s  %r -> %r   %s" % (planted, "SURVIVED" if survived else "caught",
                                                 where, old.strip(), new.strip(), line.strip()),
                  flush=True)
        finally:
            with open(path, "w") as f:
                f.write(original)
    build_all(args.build, targets)
    if planted:
        print("score: %d of %d caught (%.0f%%), seed %d" % (caught, planted,
                                                           100.0 * caught / planted, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
