#!/usr/bin/env python3
"""Capture helper of the replay benchmark.

  pcaptool.py gen FILE            10 000 frames, 60-1500 bytes, gaps 1 us-1 ms
                                  (log-uniform, fixed seed), each carrying its
                                  index after the Ethernet header
  pcaptool.py gaps CAP RECEIVED [PPS]
                                  compares the gaps of a nanosecond capture of
                                  the replay (tcpdump) with CAP's gaps, or with
                                  1/PPS when the replay ran at a fixed packet
                                  rate; prints JSON
"""
import json
import random
import struct
import sys

ETHERTYPE = 0x88B5  # local experimental


def read_pcap(name):
    with open(name, "rb") as f:
        data = f.read()
    magic = struct.unpack_from("<I", data, 0)[0]
    if magic in (0xA1B2C3D4, 0xA1B23C4D):
        e = "<"
    else:
        e = ">"
        magic = struct.unpack_from(">I", data, 0)[0]
    scale = 1 if magic == 0xA1B23C4D else 1000
    off, out = 24, []
    while off + 16 <= len(data):
        sec, frac, incl, _orig = struct.unpack_from(e + "IIII", data, off)
        off += 16
        out.append((sec * 1_000_000_000 + frac * scale, data[off:off + incl]))
        off += incl
    return out


def gen(name, count=10000):
    rnd = random.Random(8)
    t = 1_000_000_000_000
    with open(name, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B23C4D, 2, 4, 0, 0, 65535, 1))
        for i in range(count):
            size = rnd.choice((60, 60, 128, 256, 576, 1000, 1500, 1500))
            frame = bytes.fromhex("020000000002020000000001") + struct.pack(">HI", ETHERTYPE, i)
            frame += bytes(size - len(frame))
            f.write(struct.pack("<IIII", t // 1_000_000_000, t % 1_000_000_000, size, size))
            f.write(frame)
            t += int(1000 * (1000 ** rnd.random()))  # 1 us .. 1 ms


def pct(v, q):
    return v[min(len(v) - 1, max(0, int(round(q * (len(v) - 1)))))]


def gaps(cap_name, rx_name, pps=None):
    cap = read_pcap(cap_name)
    sched = [t for t, _ in cap]
    if pps:
        sched = [round(i * 1e9 / pps) for i in range(len(cap))]
    rx = []
    for t, fr in read_pcap(rx_name):
        if len(fr) >= 18 and struct.unpack_from(">H", fr, 12)[0] == ETHERTYPE:
            rx.append((t, struct.unpack_from(">I", fr, 14)[0]))
    errs, drift = [], 0
    for (t0, i0), (t1, i1) in zip(rx, rx[1:]):
        if i1 == i0 + 1:  # consecutive in one pass; pass boundaries are left out
            e = (t1 - t0) - (sched[i1] - sched[i0])
            errs.append(e)
            drift += e
    a = sorted(abs(e) for e in errs)
    res = {"received": len(rx), "gaps": len(errs),
           "gap_abs_err_ns": {"median": pct(a, 0.5), "p99": pct(a, 0.99), "max": a[-1]} if a else None,
           "drift_ns": drift,
           "seconds": (rx[-1][0] - rx[0][0]) / 1e9 if len(rx) > 1 else 0}
    print(json.dumps(res))


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(sys.argv[2])
    else:
        gaps(sys.argv[2], sys.argv[3], float(sys.argv[4]) if len(sys.argv) > 4 else None)
