#!/usr/bin/env python3
"""Turns the benchmarks' JSON reports into one table.

A benchmark is named "<operation>|<side>": side "lib" is the library, any
other side (floor, peer, hash) is what the library is measured against. Each
row shows the medians of the repetitions and the ratio library / other.
Benchmarks named "<row>|wear" carry per-write flash counters instead.
"""
import json
import sys


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def main(paths):
    medians = {}   # (operation, side) -> ns
    wear = []
    order = []
    for path in paths:
        with open(path) as f:
            report = json.load(f)
        for b in report["benchmarks"]:
            if b.get("aggregate_name", "median") != "median":
                continue
            name = b.get("run_name", b["name"])
            if "|" not in name:
                continue
            op, side = name.rsplit("|", 1)
            side = side.split("/")[0]
            if side == "wear":
                wear.append((op, b))
                continue
            unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            medians[(op, side)] = b["real_time"] * unit
            if op not in order:
                order.append(op)

    rows = [("Operation", "Library", "Against", "Median", "Ratio")]
    for op in order:
        lib = medians.get((op, "lib"))
        for (o, side), ns in medians.items():
            if o != op or side == "lib":
                continue
            ratio = f"{lib / ns:.2f}" if lib is not None and ns > 0 else "-"
            rows.append((op, fmt_time(lib) if lib is not None else "-", side, fmt_time(ns), ratio))
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    def line(r):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(rows[0]))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows[1:]:
        print(line(r))

    if wear:
        print()
        head = ("Write", "Data bytes", "Bytes written", "Bytes programmed", "Programmed / data", "Erases per write")
        out = [head]
        for op, b in wear:
            data = b.get("data_bytes", 0)
            prog = b.get("programmed_bytes", 0)
            out.append((op, f"{data:.0f}", f"{b.get('written_bytes', 0):.0f}", f"{prog:.0f}",
                        f"{prog / data:.4f}" if data else "-",
                        f"{b.get('erases', 0):.3f}"))
        widths = [max(len(r[i]) for r in out) for i in range(len(head))]
        print(line_of(out[0], widths))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in out[1:]:
            print(line_of(r, widths))


def line_of(r, widths):
    return "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"


if __name__ == "__main__":
    main(sys.argv[1:])
