#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, and only
# what is missing. Needs root when something is missing.
# Usage: tools/install-deps.sh [demo]
set -euo pipefail

packages=(
  cmake g++ make pkg-config          # the build
  libgtest-dev libbenchmark-dev      # tests and benchmarks
  clang libclang-rt-14-dev           # fuzz targets (libFuzzer) and sanitizers
  g++-multilib qemu-user             # the 32-bit x86 build; its unit suite
                                     # where the kernel runs no 32-bit program
  iproute2 procps python3            # private network namespaces; test-only clients
  cups cups-daemon cups-client       # the real scheduler, its socket backend, raw queues
  cups-ipp-utils                     # ipptool: a job's state message, conformance files
  libpappl-dev libavahi-client-dev   # the printer application (PAPPL, and Avahi's client)
  chromium                           # the application's web page in a browser
  avahi-daemon                       # a real responder nobody here wrote
  ghostscript poppler-utils          # the printer application's PDF and PostScript; pdfinfo
  nftables time                      # a lossy link for the benchmark; peak memory
  curl libpam0g-dev                  # web requests in the app suites; PAM for the application
  dpkg-dev file                      # building the .deb
  lintian devscripts mandoc          # checking it: lintian, hardening-check, the man page
)

# "demo" installs only what ./demo.sh needs.
if [ "${1:-}" = demo ]; then
  packages=(cmake g++ make iproute2 procps cups)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" != 0 ]; then
  echo "install-deps: root is needed to install packages" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# Do not let the package start a system-wide scheduler: the tests run
# isolated ones of their own. The policy file is created only if there is
# none (noclobber makes the check and the creation one step), and only the
# one created here is removed again: an administrator's own policy-rc.d is
# left as it is, and decides.
if (set -C; printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d) 2>/dev/null; then
  chmod 755 /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
else
  echo "install-deps: /usr/sbin/policy-rc.d exists; leaving it as it is"
fi
apt-get install -y -q --no-install-recommends "${missing[@]}"
