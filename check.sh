#!/usr/bin/env bash
# Builds every configuration and runs every test: the normal build (all
# suites, the real-scheduler suite included), the sanitizer build, the
# 32-bit build (unit and process tests; under qemu-i386 where the kernel
# runs no 32-bit program, which leaves out the process suites), and the
# fuzz targets. The last line says what, if anything, did not run.
# Run as root: the network suites create private network namespaces, and
# missing packages are installed on first use.
set -euo pipefail
cd "$(dirname "$0")"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

step() { printf '\n=== %s (%s)\n' "$*" "$(date +%T)"; }

step "dependencies"
tools/install-deps.sh

step "normal build, every suite"
cmake --preset default
cmake --build --preset default -j"$(nproc)"
cmake --build --preset default --target deb
ctest --preset default

step "the demo, which must end with status 0"
demo_status=0
./demo.sh > build/demo.log 2>&1 || demo_status=$?
last_line=$(tail -n 1 build/demo.log)
if [ "$demo_status" != 0 ] || [[ $last_line != *"Done; the namespaces"* ]]; then
  tail -n 30 build/demo.log
  echo "demo.sh ended with status $demo_status, or before its last line" >&2
  exit 1
fi
echo "demo.sh ended with status 0 (output in build/demo.log)"

step "sanitizer build (ASan + UBSan), every suite but the scheduler's"
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -LE cups

not_run=""
# The printer application is built only where PAPPL is installed; its
# suites (label app) are then not registered at all.
if [ ! -x build/default/src/app/netbackend-printer-app ]; then
  not_run="the printer application and its suites (PAPPL not found)"
fi

step "32-bit x86 build, unit and process suites"
cmake --preset m32
cmake --build --preset m32 -j"$(nproc)" --target unit_tests process_tests netbackend netbackend-probe fake_socket_backend
# Some kernels run no 32-bit x86 program at all (IA32 emulation off): the
# shell then cannot execute the file (status 126). The unit suite then runs
# under qemu's user-mode emulator, which needs no kernel support; the
# process suite execs 32-bit programs itself, and cannot. Any other outcome
# of the version query is the process suite's to judge.
runs_32bit=1
build/m32/netbackend -v >/dev/null 2>&1 || [ $? != 126 ] || runs_32bit=0
if [ "$runs_32bit" = 1 ]; then
  ctest --preset m32
else
  echo "this kernel runs no 32-bit x86 program: the unit suite under qemu-i386"
  qemu-i386 -L / build/m32/tests/unit_tests --gtest_brief=1
  not_run="${not_run:+$not_run; }the 32-bit process suite (this kernel runs no 32-bit x86 program)"
fi

step "fuzz targets: corpus replay and ${FUZZ_SECONDS}s of fuzzing each"
fuzz/run.sh "$FUZZ_SECONDS"

if [ -n "$not_run" ]; then
  step "all passed; not run: $not_run"
else
  step "all passed"
fi
