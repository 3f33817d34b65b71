#!/usr/bin/env bash
# Checks the printer simulator itself, with a client of its own (python3's
# socket module, test-only) rather than the backend: every end-to-end test
# trusts what the simulator puts on the wire, so that has to be right first.
#
# In a private lab (tests/e2e/lib/netlab.sh) it checks that
#   - a datagram that is not exactly the query gets no answer;
#   - the query gets one reply per printer and per repeat, on schedule, from
#     the printer's own address with its --ttl (else 64), as a well-formed
#     mDNS response whose TXT strings are exactly the configured attributes;
#   - a spray with --spoof-source arrives from that address, port 5353, with
#     each printer's --ttl (else 64);
#   - raw jobs on TCP 9100 land byte for byte in the jobs directory, per local
#     address, and a job still open at SIGTERM is dropped, not half-stored;
#   - SIGTERM ends the simulator with status 0;
#   - with --pjl, a print connection is answered (ECHO, INFO STATUS, USTATUS
#     JOB and PAGE, pages counted past form feeds inside raster rows), and a
#     jam written to --pjl-status is reported, stops the reading and holds
#     the job's END back until it clears; the job is still stored unchanged;
#   - --read-bytes-per-second reads at that pace;
#   - every junk kind arrives, in order, before the good reply, and is broken
#     exactly in the way it claims to be.
# Needs root. Env: PRINTER_SIM (the built printer_sim).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/netlab.sh source-path=SCRIPTDIR
source "$here/lib/netlab.sh"

fail() {
  echo "e2e_simulator_smoke: FAIL: $*" >&2
  exit 1
}

[[ -x ${PRINTER_SIM:-} ]] || fail "PRINTER_SIM must name the built printer_sim"
PY=$(command -v python3) || fail "python3 is needed as the test client"

lab=sim$$
netlab_up "$lab"
netlab_add_printer_ip "$lab" 10.77.0.3
tmp=$(netlab_tmpdir "$lab")
jobs="$tmp/jobs"
client="$tmp/client.py"

cat >"$client" <<'PY'
import os, select, socket, struct, sys, time

QUERY = bytes.fromhex(
    "000000000001000000000000"
    "0c5f686f73742d636f6e666967045f756470056c6f63616c00"
    "000c8001")
assert len(QUERY) == 41
GROUP = ("224.0.0.251", 5353)
HOST_IP = "10.77.0.1"
failures = []

def check(cond, what):
    if not cond:
        failures.append(what)
        print("  not ok:", what, file=sys.stderr)

class Malformed(Exception):
    pass

def read_name(d, pos):
    """Returns (dotted name, position after the name). Bounded: at most 16
    pointers per name, every read checked against the datagram's end."""
    labels, end, hops = [], None, 0
    while True:
        if pos >= len(d):
            raise Malformed("name runs past the end")
        b = d[pos]
        if b == 0:
            return ".".join(labels), (pos + 1 if end is None else end)
        if b & 0xC0 == 0xC0:
            if pos + 2 > len(d):
                raise Malformed("pointer runs past the end")
            hops += 1
            if hops > 16:
                raise Malformed("pointer loop")
            if end is None:
                end = pos + 2
            pos = ((b & 0x3F) << 8) | d[pos + 1]
            continue
        if b & 0xC0:
            raise Malformed("bad label type")
        if pos + 1 + b > len(d):
            raise Malformed("label runs past the end")
        labels.append(d[pos + 1:pos + 1 + b].decode("latin-1"))
        pos += 1 + b

def parse(d):
    if len(d) < 12:
        raise Malformed("short header")
    _id, flags, qd, an, ns, ar = struct.unpack("!6H", d[:12])
    pos, recs = 12, []
    for _ in range(qd):
        _, pos = read_name(d, pos)
        pos += 4
    for _ in range(an + ns + ar):
        name_at = pos
        name, pos = read_name(d, pos)
        if pos + 10 > len(d):
            raise Malformed("record header runs past the end")
        rtype, rclass, ttl, rdlen = struct.unpack("!HHIH", d[pos:pos + 10])
        pos += 10
        if pos + rdlen > len(d):
            raise Malformed("RDATA runs past the end")
        rec = dict(name=name, name_at=name_at, type=rtype, cls=rclass, ttl=ttl,
                   rdata=d[pos:pos + rdlen], rdata_at=pos)
        if rtype == 16:
            strings, p = [], 0
            while p < rdlen:
                n = rec["rdata"][p]
                if p + 1 + n > rdlen:
                    raise Malformed("TXT string overruns RDLENGTH")
                strings.append(rec["rdata"][p + 1:p + 1 + n].decode("latin-1"))
                p += 1 + n
            rec["strings"] = strings
        if rtype == 12:
            rec["target"] = read_name(d, pos)[0]
        if rtype == 33:
            rec["port"] = struct.unpack("!H", d[pos + 4:pos + 6])[0]
            rec["target"] = read_name(d, pos + 6)[0]
        recs.append(rec)
        pos += rdlen
    return flags, (qd, an, ns, ar), recs, pos

def udp_socket(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(HOST_IP))
    s.setsockopt(socket.IPPROTO_IP, getattr(socket, "IP_RECVTTL", 12), 1)  # <linux/in.h>
    s.bind((HOST_IP, port))
    return s

def collect(socks, seconds):
    got, deadline = [], time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return got
        ready, _, _ = select.select(socks, [], [], left)
        for s in ready:
            d, anc, _, a = s.recvmsg(65536, 64)
            ttl = [struct.unpack("i", c[2])[0] for c in anc if c[1] == socket.IP_TTL]
            got.append((time.monotonic(), s, a, d, ttl))

def check_reply(d, p):
    """p: dict with name, ip, attrs (the exact TXT strings)."""
    inst = p["name"] + "._host-config._udp.local"
    try:
        flags, counts, recs, end = parse(d)
    except Malformed as e:
        check(False, "%s: reply does not parse: %s" % (p["name"], e))
        return
    check(flags & 0x8000, "%s: QR bit set" % p["name"])
    check(flags == 0x8400, "%s: flags 0x8400, got 0x%04x" % (p["name"], flags))
    check(counts == (0, 1, 0, 3), "%s: counts 0/1/0/3, got %s" % (p["name"], counts))
    check(end == len(d), "%s: no bytes after the last record" % p["name"])
    if len(recs) != 4:
        return
    ptr, txt, srv, a = recs
    check((ptr["type"], ptr["name"], ptr["target"], ptr["cls"], ptr["ttl"]) ==
          (12, "_host-config._udp.local", inst, 1, 4500), "%s: PTR record %r" % (p["name"], ptr))
    check((txt["type"], txt["name"], txt["cls"], txt["ttl"]) == (16, inst, 0x8001, 4500),
          "%s: TXT record header" % p["name"])
    label = p["name"].encode()
    check(d[txt["name_at"]:txt["name_at"] + len(label) + 3] ==
          bytes([len(label)]) + label + b"\xc0\x0c",
          "%s: TXT name is the instance label + pointer C0 0C" % p["name"])
    check(txt.get("strings") == p["attrs"],
          "%s: TXT strings %r, want %r" % (p["name"], txt.get("strings"), p["attrs"]))
    check((srv["type"], srv["name"], srv["port"], srv["target"], srv["cls"], srv["ttl"]) ==
          (33, inst, 9100, p["name"] + ".local", 0x8001, 120), "%s: SRV record %r" % (p["name"], srv))
    check((a["type"], a["name"], a["rdata"], a["cls"], a["ttl"]) ==
          (1, p["name"] + ".local", socket.inet_aton(p["ip"]), 0x8001, 120),
          "%s: A record %r" % (p["name"], a))

def printers():
    alpha = dict(name="alpha", ip="10.77.0.2", attrs=[
        "IPADDRESS=10.77.0.2", "IPNETMASK=255.255.255.0", "MACUAA=0123456789AB",
        '1284STRID="MFG:Acme;CMD:PCL;MDL:Alpha 100;"', "MDNSNAME=alpha"])
    beta = dict(name="beta", ip="10.77.0.3", attrs=[
        "IPADDRESS=10.77.0.3", "IPNETMASK=255.255.255.0", "MACUAA=a1b2c3d4e5f6",
        '1284STRID="MFG:Acme;MDL:Beta 200;"', "PRINTERVIDPID=2E970042",
        "MDNSNAME=beta", "ADAPTERNAME=eth0", "NOTE=a=b"])
    return alpha, beta

def main_phase(jobs_dir, sim_pid):
    alpha, beta = printers()

    print("- datagrams that are not the query get no answer")
    other = udp_socket()
    near_misses = [QUERY[:-2] + b"\x00\x01",      # QU bit clear
                   QUERY + b"\x00",               # one byte too many
                   QUERY[:40],                    # one byte short
                   b"\x00" * 41]
    for m in near_misses:
        other.sendto(m, GROUP)
    got = collect([other], 1.0)                   # longer than every schedule
    check(got == [], "no reply to non-queries, got %d" % len(got))

    print("- one reply per printer and repeat, on schedule")
    s = udp_socket()
    t0 = time.monotonic()
    s.sendto(QUERY, GROUP)
    got = collect([s, other], 2.0)
    check(all(g[1] is s for g in got), "replies go to the querying socket only")
    by_src = {}
    for t, _, a, d, ttl in got:
        by_src.setdefault(a, []).append((t - t0, d, ttl))
    check(sorted(by_src) == [("10.77.0.2", 5353), ("10.77.0.3", 5353)],
          "replies come from 10.77.0.2:5353 and 10.77.0.3:5353, got %s" % sorted(by_src))
    a_rx = by_src.get(("10.77.0.2", 5353), [])
    b_rx = by_src.get(("10.77.0.3", 5353), [])
    check(len(a_rx) == 1, "alpha replies once, got %d" % len(a_rx))
    check(len(b_rx) == 2, "beta (--repeat 2) replies twice, got %d" % len(b_rx))
    for _, d, ttl in a_rx:
        check_reply(d, alpha)
        check(ttl == [64], "alpha replies with the default TTL 64, got %s" % ttl)
    for _, d, ttl in b_rx:
        check_reply(d, beta)
        check(ttl == [255], "beta (--ttl 255) replies with TTL 255, got %s" % ttl)
    if a_rx:
        check(a_rx[0][0] < 0.25, "alpha answers at once, took %.3f s" % a_rx[0][0])
    if len(b_rx) == 2:
        check(0.28 <= b_rx[0][0] < 0.6, "beta's first reply after 300 ms, at %.3f s" % b_rx[0][0])
        gap = b_rx[1][0] - b_rx[0][0]
        check(0.38 <= gap < 0.7, "beta's replies 400 ms apart, gap %.3f s" % gap)

    print("- raw jobs land byte for byte, per local address")
    payloads = [("10.77.0.3", bytes(range(256)) * 300 + os.urandom(777)),
                ("10.77.0.2", b"\x1b%-12345X@PJL\r\n" + os.urandom(5000)),
                ("10.77.0.3", b"")]
    for ip, data in payloads:
        c = socket.create_connection((ip, 9100), timeout=3)
        c.sendall(data)
        c.close()
    want = {"10.77.0.3-1.bin": payloads[0][1], "10.77.0.2-1.bin": payloads[1][1],
            "10.77.0.3-2.bin": payloads[2][1]}
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not all(
            os.path.exists(os.path.join(jobs_dir, n)) for n in want):
        time.sleep(0.05)
    for n, data in want.items():
        path = os.path.join(jobs_dir, n)
        if not os.path.exists(path):
            check(False, "job file %s appears" % n)
            continue
        with open(path, "rb") as f:
            check(f.read() == data, "job file %s holds the bytes sent" % n)

    print("- a job still open at SIGTERM is dropped, and the listener closes")
    c = socket.create_connection(("10.77.0.2", 9100), timeout=3)
    c.sendall(b"half a job")
    time.sleep(0.2)
    visible = sorted(n for n in os.listdir(jobs_dir) if not n.startswith("."))
    check(visible == sorted(want), "an open job is not visible, jobs dir %s" % visible)
    os.kill(sim_pid, 15)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % sim_pid) as f:
                if f.read().split()[2] == "Z":
                    break
        except FileNotFoundError:
            break
        time.sleep(0.05)
    c.close()
    left = sorted(os.listdir(jobs_dir))
    check(left == sorted(want), "after exit only the complete jobs remain, got %s" % left)
    try:
        socket.create_connection(("10.77.0.2", 9100), timeout=1).close()
        check(False, "port 9100 is closed after exit")
    except OSError:
        pass

JUNK = ["empty", "short-header", "query-echo", "truncated", "pointer-loop", "pointer-self",
        "huge-rdlength", "txt-overrun", "label-c2", "oversize"]

def parse_error(d):
    try:
        parse(d)
    except Malformed as e:
        return str(e)
    return None

def junk_phase():
    print("- junk kinds arrive in order before the good reply, broken as claimed")
    gamma = dict(name="gamma", ip="10.77.0.2", attrs=[
        "IPADDRESS=10.77.0.2", "IPNETMASK=255.255.255.0", "MACUAA=00AA11BB22CC",
        '1284STRID="MFG:Acme;MDL:Gamma;"', "MDNSNAME=gamma"])
    s = udp_socket()
    s.sendto(QUERY, GROUP)
    got = [g[3] for g in collect([s], 1.0)]
    check(len(got) == len(JUNK) + 1, "%d junk datagrams and one reply, got %d" %
          (len(JUNK), len(got)))
    if len(got) != len(JUNK) + 1:
        return
    j = dict(zip(JUNK, got))
    check(j["empty"] == b"", "empty: 0 bytes")
    check(len(j["short-header"]) == 12 and j["short-header"][2] & 0x80,
          "short-header: 12 bytes, QR set")
    check(j["query-echo"] == QUERY, "query-echo: the query itself")
    t = j["truncated"]
    check(t[2] & 0x80 and t.endswith(b"\x13MACUAA=4A") and
          b"IPNETMASK=255.255.255.0" in t and parse_error(t) == "RDATA runs past the end",
          "truncated: a reply cut halfway into MACUAA")
    pl = j["pointer-loop"]
    check(pl[12:32] == b"\x11junk-pointer-loop\xc0\x0c" and parse_error(pl) == "pointer loop",
          "pointer-loop: name = label + pointer to its own start")
    ps = j["pointer-self"]
    check(ps[12:19] == b"\x04junk\xc0\x11" and parse_error(ps) == "pointer loop",
          "pointer-self: pointer at offset 17 points at 17")
    h = j["huge-rdlength"]
    junk_attrs = ["IPADDRESS=10.77.0.254", "IPNETMASK=255.255.255.0", "MACUAA=4A554E4B2121",
                  '1284STRID="MFG:Junk;MDL:Junk Printer;"', "MDNSNAME=junk-huge-rdlength"]
    real = sum(1 + len(a) for a in junk_attrs)
    at = h.find(b"\x00\x10\x80\x01") + 8       # TXT type and class, TTL, then RDLENGTH
    repaired = h[:at] + struct.pack("!H", real) + h[at + 2:]
    check(at > 8 and h[at:at + 2] == b"\xff\xff" and parse_error(h) == "RDATA runs past the end"
          and parse_error(repaired) is None and parse(repaired)[2][1].get("strings") == junk_attrs,
          "huge-rdlength: a whole reply whose TXT RDLENGTH is 0xFFFF")
    o = j["txt-overrun"]
    check(parse_error(o) == "TXT string overruns RDLENGTH" and
          o.endswith(b"\xffMACUAA=4A554E4B2121"),
          "txt-overrun: last TXT string claims 255 bytes at the datagram's end")
    c2 = j["label-c2"]
    check(c2[17] == 0xC2 and len(c2) - 18 < 0xC2 and parse_error(c2) is not None,
          "label-c2: label length 0xC2 running past the end")
    big = j["oversize"]
    check(len(big) == 5000 and parse_error(big) is None, "oversize: a valid 5000-byte reply")
    if parse_error(big) is None:
        _, counts, recs, end = parse(big)
        check(end == 5000 and counts[3] > 3 and recs[1]["name"] ==
              "junk-oversize._host-config._udp.local" and
              "MACUAA=4A554E4B2121" in recs[1]["strings"], "oversize: junk TXT first, then padding")
    check_reply(got[-1], gamma)

def spray_phase():
    print("- a spray from a spoofed source carries it and each printer's TTL")
    got = collect([udp_socket(47000)], 0.5)
    seen = {(a, parse(d)[2][0]["target"], tuple(ttl)) for _, _, a, d, ttl in got}
    want = {(("10.77.0.77", 5353), "printer-%d._host-config._udp.local" % n, (t,))
            for n, t in ((1, 255), (2, 64))}
    check(seen == want, "sprayed (source, instance, TTL) %s, want %s" % (seen, want))

def pjl_phase(jobs_dir, status):
    print("- PJL answers on the print connection; a jam stops the reading")
    uel = b"\x1b%-12345X"
    def answers(c, end):
        buf, t = b"", time.monotonic() + 3
        while not buf.endswith(end) and time.monotonic() < t:
            if select.select([c], [], [], t - time.monotonic())[0]:
                d = c.recv(4096)
                if not d:
                    break
                buf += d
        return buf
    def set_status(code, display):
        with open(status + ".new", "w") as f:
            f.write("CODE=%s\nDISPLAY=%s\nONLINE=TRUE\n" % (code, display))
        os.rename(status + ".new", status)
    page = b"\x1b*b4W\x0c\x0c\x0c\x0c\x0c"  # a row of form feeds, then the page's
    c = socket.create_connection(("10.77.0.2", 9100), timeout=3)
    head = (uel + b"@PJL ECHO smoke 1\r\n@PJL INFO STATUS\r\n@PJL USTATUS DEVICE=ON\r\n"
            b"@PJL USTATUS JOB=ON\r\n@PJL USTATUS PAGE=ON\r\n@PJL JOB NAME=\"s\"\r\n"
            b"@PJL ENTER LANGUAGE=PCL\r\n" + page)
    c.sendall(head)
    got = answers(c, b"PAGE\r\n1\r\n\f")
    check(got == b'@PJL ECHO smoke 1\r\n\f@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY="READY"\r\n'
          b'ONLINE=TRUE\r\n\f@PJL USTATUS JOB\r\nSTART\r\nNAME="s"\r\n\f'
          b'@PJL USTATUS PAGE\r\n1\r\n\f', "echo, status, start, one page: %r" % got)
    set_status("40022", "JAM")
    got = answers(c, b"ONLINE=TRUE\r\n\f")
    check(got == b'@PJL USTATUS DEVICE\r\nCODE=40022\r\nDISPLAY="JAM"\r\nONLINE=TRUE\r\n\f',
          "the jam is reported: %r" % got)
    tail = page + uel + b'@PJL EOJ NAME="s"\r\n' + uel
    c.sendall(tail)
    time.sleep(0.5)
    part = os.path.join(jobs_dir, ".10.77.0.2-1.part")
    check(os.path.getsize(part) == len(head), "nothing is read while jammed")
    set_status("10001", "READY")
    got = answers(c, b"PAGES=2\r\n\f")
    check(got.endswith(b'@PJL USTATUS PAGE\r\n2\r\n\f@PJL USTATUS JOB\r\nEND\r\nNAME="s"\r\n'
                       b'PAGES=2\r\n\f') and b"CODE=10001" in got,
          "cleared: page 2, then END with 2 pages: %r" % got)
    c.close()
    deadline = time.monotonic() + 3
    final = os.path.join(jobs_dir, "10.77.0.2-1.bin")
    while not os.path.exists(final) and time.monotonic() < deadline:
        time.sleep(0.05)
    check(os.path.exists(final) and open(final, "rb").read() == head + tail,
          "the PJL job is stored byte for byte")

def slow_phase(jobs_dir):
    print("- --read-bytes-per-second 50000 takes 100 kB in about two seconds")
    data = os.urandom(100000)
    t0 = time.monotonic()
    c = socket.create_connection(("10.77.0.2", 9100), timeout=3)
    c.sendall(data)
    c.close()
    final = os.path.join(jobs_dir, "10.77.0.2-1.bin")
    while not os.path.exists(final) and time.monotonic() - t0 < 5:
        time.sleep(0.02)
    took = time.monotonic() - t0
    check(1.8 < took < 2.6, "stored after %.2f s" % took)
    check(os.path.exists(final) and open(final, "rb").read() == data, "stored byte for byte")

if sys.argv[1] == "main":
    main_phase(sys.argv[2], int(sys.argv[3]))
elif sys.argv[1] == "pjl":
    pjl_phase(sys.argv[2], sys.argv[3])
elif sys.argv[1] == "slow":
    slow_phase(sys.argv[2])
elif sys.argv[1] == "spray":
    spray_phase()
else:
    junk_phase()
if failures:
    print("%d check(s) failed" % len(failures), file=sys.stderr)
    sys.exit(1)
PY

echo "simulator smoke test in namespaces $lab-h / $lab-p"
netlab_sim "$lab" --jobs-dir "$jobs" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 \
  --device-id 'MFG:Acme;CMD:PCL;MDL:Alpha 100;' --mdns-name alpha \
  --printer --macuaa a1b2c3d4e5f6 --ip 10.77.0.3 --device-id 'MFG:Acme;MDL:Beta 200;' \
  --vidpid 2E970042 --mdns-name beta --txt ADAPTERNAME=eth0 --txt NOTE=a=b \
  --delay-ms 300 --repeat 2 --interval-ms 400 --ttl 255
sim_log=$NETLAB_SIM_LOG
netlab_run_host "$lab" "$PY" "$client" main "$jobs" "$NETLAB_SIM_PID" ||
  fail "simulator checks failed (see above)"
netlab_sim_stop "$lab" || fail "printer_sim did not exit with status 0 on SIGTERM"

# What a person debugging a test reads: one line per event.
for line in "query from 10.77.0.1:" "ignored 42-byte datagram from 10.77.0.1:" \
  "reply beta (2/2) to 10.77.0.1:" "job stored $jobs/10.77.0.3-2.bin (0 bytes" \
  "dropped: unfinished at exit" "stopped"; do
  grep -qF -- "$line" "$sim_log" || fail "simulator log lacks '$line'"
done
[[ $(grep -c "ignored" "$sim_log") == 4 ]] || fail "simulator log should show 4 ignored datagrams"

junk=()
for k in empty short-header query-echo truncated pointer-loop pointer-self \
  huge-rdlength txt-overrun label-c2 oversize; do
  junk+=(--junk "$k")
done
netlab_sim "$lab" --quiet "${junk[@]}" \
  --printer --macuaa 00AA11BB22CC --ip 10.77.0.2 --device-id 'MFG:Acme;MDL:Gamma;' --mdns-name gamma
netlab_run_host "$lab" "$PY" "$client" junk || fail "junk checks failed (see above)"
netlab_sim_stop "$lab" || fail "printer_sim did not exit with status 0 on SIGTERM"
[[ ! -s $NETLAB_SIM_LOG ]] || fail "--quiet still logged: $(head -n 3 "$NETLAB_SIM_LOG")"

# 10.77.0.77 is no address of the lab's: only a forged header carries it.
netlab_sim "$lab" --spray 10.77.0.1:47000-47000 --spoof-source 10.77.0.77 --printer --ttl 255 \
  --printer
netlab_run_host "$lab" "$PY" "$client" spray || fail "spray checks failed (see above)"
netlab_sim_stop "$lab" || fail "printer_sim did not exit with status 0 on SIGTERM"
grep -qF "from spoofed source 10.77.0.77:5353" "$NETLAB_SIM_LOG" || fail "log lacks the source"

printf 'CODE=10001\nDISPLAY=READY\nONLINE=TRUE\n' >"$tmp/status"
netlab_sim "$lab" --no-mdns --jobs-dir "$tmp/pjl-jobs" --pjl --pjl-status "$tmp/status"
netlab_run_host "$lab" "$PY" "$client" pjl "$tmp/pjl-jobs" "$tmp/status" ||
  fail "PJL checks failed (see above)"
netlab_sim_stop "$lab" || fail "printer_sim did not exit with status 0 on SIGTERM"
grep -qF 'pjl from 10.77.0.1:' "$NETLAB_SIM_LOG" || fail "log lacks the PJL commands"

netlab_sim "$lab" --no-mdns --jobs-dir "$tmp/slow-jobs" --read-bytes-per-second 50000
netlab_run_host "$lab" "$PY" "$client" slow "$tmp/slow-jobs" || fail "slow checks failed (see above)"
netlab_sim_stop "$lab" || fail "printer_sim did not exit with status 0 on SIGTERM"

# Usage errors are refused before anything is bound.
for bad in "" "--macuaa 1 --printer" "--printer --repeat 0" "--junk nonsense --printer" \
  "--printer --delay-ms x" "--printer --ttl 0" "--spoof-source 10.77.0.77 --printer" \
  "--printer --pjl" "--printer --jobs-dir $tmp/x --pjl-variant spaces"; do
  rc=0
  # shellcheck disable=SC2086 # word splitting of the table row is wanted
  netlab_run_printer "$lab" "$PRINTER_SIM" $bad >/dev/null 2>&1 || rc=$?
  [[ $rc == 2 ]] || fail "printer_sim $bad: exit status $rc, want 2"
done

echo "e2e_simulator_smoke: ok"
