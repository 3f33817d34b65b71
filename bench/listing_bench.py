#!/usr/bin/env python3
"""Measures one listing run of the backend; started by listing_bench.sh
inside the lab's host namespace (it needs root for the packet socket).

Method:
  * Reply arrival: a packet socket on the host side of the lab's link sees
    every reply as it enters the namespace and gets a kernel receive
    timestamp (SO_TIMESTAMPNS, CLOCK_REALTIME). The packets stay queued in
    that socket during the run (its buffer is enlarged with SO_RCVBUFFORCE)
    and are read only after the backend has exited, so the capture takes no
    CPU while the backend works.
  * Line on stdout: the backend's stdout is a pipe to this process, which
    stamps each line with CLOCK_REALTIME as it reads it. A reply is matched
    to its line by the MAC address (the MACUAA in the reply, bit-reversed
    per byte as the backend prints it). Latency = line stamp - arrival
    stamp, so it includes the wait in the socket's queue behind earlier
    replies, the backend's work, the pipe and this reader's wake-up.
  * CPU: user + system time of the backend process from wait4(). The
    backend is started directly (this process is already in the namespace),
    so no "ip netns exec" work is counted.
  * Memory: the peak resident set (VmHWM of /proc/<pid>/status), polled
    every 5 ms until exit. wait4()'s ru_maxrss is printed too, but it also
    holds the resident set this Python process had when it forked the child,
    so it overstates the backend's own peak.
  * Drops: the namespace's UDP counters (/proc/net/snmp) before and after:
    RcvbufErrors counts datagrams dropped because a socket buffer was full.
"""
import argparse
import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

SO_TIMESTAMPNS = 35
SCM_TIMESTAMPNS = SO_TIMESTAMPNS
SO_RCVBUFFORCE = 33
ETH_P_IP = 0x0800
ETH_P_ALL = 0x0003  # outgoing packets reach only "all protocols" taps
PACKET_OUTGOING = 4


def mac_from_macuaa(text):
    """The printer writes each byte of its MAC with the bits reversed."""
    out = []
    for i in range(0, 12, 2):
        b = int(text[i:i + 2], 16)
        out.append("%02X" % int("{:08b}".format(b)[::-1], 2))
    return "".join(out)


def udp_counters():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


def vm_hwm_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def capture_socket(iface):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.bind((iface, ETH_P_ALL))
    s.setblocking(False)
    return s


def drain(sock):
    """(kernel time in ns, outgoing?, IPv4 packet) for each queued packet."""
    packets = []
    while True:
        try:
            data, anc, _flags, addr = sock.recvmsg(65536, socket.CMSG_SPACE(16))
        except BlockingIOError:
            return packets
        ts = None
        for level, kind, payload in anc:
            if level == socket.SOL_SOCKET and kind == SCM_TIMESTAMPNS:
                sec, nsec = struct.unpack("qq", payload[:16])
                ts = sec * 1000000000 + nsec
        if addr[1] == ETH_P_IP:
            packets.append((ts, addr[2] == PACKET_OUTGOING, data))


def udp_payload(ip):
    if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 17:
        return None
    ihl = (ip[0] & 0x0F) * 4
    src = socket.inet_ntoa(ip[12:16])
    dst = socket.inet_ntoa(ip[16:20])
    sport, dport = struct.unpack("!HH", ip[ihl:ihl + 4])
    return src, sport, dst, dport, ip[ihl + 8:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--iface", required=True)
    ap.add_argument("--tmpdir", required=True, help="TMPDIR for the backend (no trace marker)")
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()

    cap = capture_socket(args.iface)
    udp_before = udp_counters()

    env = dict(os.environ, TMPDIR=args.tmpdir)
    t_start = time.time_ns()
    proc = subprocess.Popen([args.exe], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out_fd, err_fd = proc.stdout.fileno(), proc.stderr.fileno()
    lines, partial, err = [], b"", b""
    hwm = 0
    open_fds = {out_fd, err_fd}
    while open_fds:
        ready, _, _ = select.select(list(open_fds), [], [], 0.005)
        now = time.time_ns()
        for fd in ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                open_fds.discard(fd)
                continue
            if fd == err_fd:
                err += chunk
                continue
            partial += chunk
            while b"\n" in partial:
                line, partial = partial.split(b"\n", 1)
                lines.append((now, line.decode("latin-1")))
        hwm = max(hwm, vm_hwm_kib(proc.pid))
    _pid, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    t_end = time.time_ns()
    udp_after = udp_counters()
    packets = drain(cap)

    query_ns = None
    arrivals = {}   # MAC -> first arrival (ns)
    replies = 0
    for ts, outgoing, ip in packets:
        u = udp_payload(ip)
        if u is None:
            continue
        src, sport, dst, dport, payload = u
        if outgoing and dport == 5353 and dst == "224.0.0.251":
            query_ns = ts if query_ns is None else min(query_ns, ts)
            continue
        if outgoing or sport != 5353:
            continue
        m = re.search(rb"MACUAA=([0-9A-Fa-f]{12})", payload)
        if not m:
            continue
        replies += 1
        mac = mac_from_macuaa(m.group(1).decode())
        if mac not in arrivals or ts < arrivals[mac]:
            arrivals[mac] = ts

    listed = {}
    line_re = re.compile(r'^network [^:]*://([0-9A-F]{12}) ')
    for ts, line in lines:
        m = line_re.match(line)
        if m and m.group(1) not in listed:
            listed[m.group(1)] = ts
    lat_ms = [(listed[mac] - arrivals[mac]) / 1e6 for mac in arrivals if mac in listed]
    spread_ms = ((max(arrivals.values()) - min(arrivals.values())) / 1e6) if arrivals else 0.0

    fig = {
        "exit_status": proc.returncode,
        "stderr": err.decode("latin-1"),
        "run_seconds": (t_end - t_start) / 1e9,
        "replies_on_wire": replies,
        "printers_answering": len(arrivals),
        "lines": len(lines),
        "printers_listed": len(listed),
        "missing": sorted(set(arrivals) - set(listed)),
        "query_to_first_reply_ms": ((min(arrivals.values()) - query_ns) / 1e6
                                    if arrivals and query_ns else None),
        "reply_burst_ms": spread_ms,
        "latency_median_ms": percentile(lat_ms, 50) if lat_ms else None,
        "latency_p95_ms": percentile(lat_ms, 95) if lat_ms else None,
        "latency_max_ms": max(lat_ms) if lat_ms else None,
        "cpu_user_ms": usage.ru_utime * 1000,
        "cpu_sys_ms": usage.ru_stime * 1000,
        "cpu_total_ms": (usage.ru_utime + usage.ru_stime) * 1000,
        "peak_rss_kib": hwm,
        "ru_maxrss_kib": usage.ru_maxrss,
        "udp_in_datagrams": udp_after.get("InDatagrams", 0) - udp_before.get("InDatagrams", 0),
        "udp_rcvbuf_errors": udp_after.get("RcvbufErrors", 0) - udp_before.get("RcvbufErrors", 0),
        "udp_in_errors": udp_after.get("InErrors", 0) - udp_before.get("InErrors", 0),
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(fig, f, indent=1)

    def ms(v):
        return "n/a" if v is None else "%.3f ms" % v

    def verdict(ok):
        return "ok" if ok else "MISSED"

    print("listing run: exit status %d, %.2f s, %d replies seen on the wire from %d printers"
          % (fig["exit_status"], fig["run_seconds"], replies, len(arrivals)))
    if fig["stderr"]:
        print("stderr: %r" % fig["stderr"])
    print("  query to first reply          %s; all replies within %.3f ms"
          % (ms(fig["query_to_first_reply_ms"]), spread_ms))
    print("  printers listed               %d of %d  (target 100)  %s"
          % (len(listed), len(arrivals), verdict(len(listed) == 100)))
    if fig["missing"]:
        print("  not listed: %s" % " ".join(fig["missing"]))
    print("  reply -> line, median         %s  (target < 5 ms)  %s"
          % (ms(fig["latency_median_ms"]),
             verdict(fig["latency_median_ms"] is not None and fig["latency_median_ms"] < 5)))
    print("  reply -> line, p95 / max      %s / %s"
          % (ms(fig["latency_p95_ms"]), ms(fig["latency_max_ms"])))
    print("  CPU user + sys                %.2f ms (%.2f + %.2f)  (target < 20 ms)  %s"
          % (fig["cpu_total_ms"], fig["cpu_user_ms"], fig["cpu_sys_ms"],
             verdict(fig["cpu_total_ms"] < 20)))
    print("  peak RSS (VmHWM)              %d KiB = %.2f MiB  (target < 4 MiB)  %s"
          % (hwm, hwm / 1024.0, verdict(0 < hwm < 4096)))
    print("  ru_maxrss (incl. the forking Python's pages)  %d KiB" % usage.ru_maxrss)
    print("  UDP in this namespace         %d datagrams in, %d dropped (RcvbufErrors), %d InErrors"
          % (fig["udp_in_datagrams"], fig["udp_rcvbuf_errors"], fig["udp_in_errors"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
