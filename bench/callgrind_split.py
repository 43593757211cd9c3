#!/usr/bin/env python3
"""Sums callgrind's self cost (Ir) by ELF object for one thread of a --separate-threads run.

The thread reported is the one that spent most instructions inside the plug-in: the read thread
for the read scenario, the delivering thread for the write scenario. Costs are divided by the
packet count given, so the table reads as instructions per packet. A last row gives the log
writer's thread (another thread that spent most in the log library), all its objects together.

usage: callgrind_split.py LABEL PACKETS callgrind.out.*
"""
import os
import re
import sys

GROUPS = [
    ("plug-in", re.compile(r"liblocal_serial_redir")),
    ("host layer (libcpd_*)", re.compile(r"libcpd_")),
    ("libserialport", re.compile(r"libserialport")),
    ("libc", re.compile(r"libc\.so|libc-")),
    ("libstdc++", re.compile(r"libstdc\+\+")),
    ("benchmark host (device, malloc counter)", re.compile(r"cpd_bench")),
]


def self_cost_by_object(path):
    """Self Ir per object file. Cost lines that follow a calls= line are inclusive costs of
    the call and belong to the callee, so they are skipped."""
    names = {}
    costs = {}
    current = "?"
    skip_next = False
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("ob="):
                current = resolve(names, line[3:].strip())
                continue
            if line.startswith(("cob=", "cfi=", "cfl=", "cfn=", "fl=", "fi=", "fe=", "fn=")):
                if line.startswith("cob="):
                    resolve(names, line[4:].strip())
                continue
            if line.startswith("calls="):
                skip_next = True
                continue
            if line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    costs[current] = costs.get(current, 0) + int(fields[1])
    return costs


def resolve(names, text):
    m = re.match(r"\((\d+)\)\s*(.*)", text)
    if not m:
        return text
    ident, name = m.group(1), m.group(2)
    if name:
        names[ident] = name
    return names.get(ident, "?")


def main():
    label, packets, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    best = None
    threads = []
    for path in files:
        costs = self_cost_by_object(path)
        threads.append((path, costs))
        plugin = sum(v for k, v in costs.items() if GROUPS[0][1].search(k))
        if best is None or plugin > best[0]:
            best = (plugin, path, costs)
    if best is None or packets <= 0:
        print("no callgrind output")
        return 1
    _, path, costs = best
    grouped = {name: 0 for name, _ in GROUPS}
    grouped["other (ld.so, libm, kernel entry ...)"] = 0
    for obj, cost in costs.items():
        for name, pattern in GROUPS:
            if pattern.search(os.path.basename(obj)):
                grouped[name] += cost
                break
        else:
            grouped["other (ld.so, libm, kernel entry ...)"] += cost
    total = sum(grouped.values())
    print(f"| {label}: object | Ir per packet | share |")
    print("|---|---:|---:|")
    for name, cost in grouped.items():
        if cost:
            print(f"| {name} | {cost / packets:,.0f} | {100.0 * cost / total:.0f}% |")
    print(f"| **total** | **{total / packets:,.0f}** | |")
    writer = max(((sum(v for k, v in c.items() if GROUPS[1][1].search(k)), c)
                  for p, c in threads if p != path), default=(0, {}), key=lambda t: t[0])
    if writer[0] > 0:
        print(f"| log writer thread, every object | {sum(writer[1].values()) / packets:,.0f} | |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
