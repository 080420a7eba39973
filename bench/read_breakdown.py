#!/usr/bin/env python3
"""Where a benchmark step's time goes, from the emulated BCU's line trace.

Each step between two line events is counted to whoever acted: the driver
(RTS, DTR, an octet it sends) or the BCU and the bus (CTS, an octet the BCU
sends, the wait for the bus). Prints the totals per exchange and the driver's
steps by kind.

    bench/read_breakdown.py build/bench/traces/with-answer-reads.txt [EXCHANGES]

EXCHANGES: how many exchanges the trace holds (40 group reads by default).
"""
import collections
import sys


def events(path):
    for line in open(path):
        parts = line.split()
        if len(parts) < 2 or not parts[0].endswith("us"):
            continue
        kind = parts[1] + (parts[2] if parts[1] in ("RTS", "CTS", "DTR") else "")
        yield int(parts[0][:-2]), kind


def main():
    trace = list(events(sys.argv[1]))
    exchanges = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    driver = bcu = 0
    steps = collections.Counter()
    counts = collections.Counter()
    for (t0, a), (t1, b) in zip(trace, trace[1:]):
        took = t1 - t0
        if b.startswith(("RTS", ">BCU", "DTR")):
            driver += took
            steps[a + " -> " + b] += took
            counts[a + " -> " + b] += 1
        else:
            bcu += took
    per = exchanges * 1000.0
    print("per exchange: driver %.1f ms, BCU and bus %.1f ms, in all %.1f ms"
          % (driver / per, bcu / per, (driver + bcu) / per))
    for step, took in steps.most_common(8):
        print("  %-16s %6.2f ms per exchange, %5.1f times, %.3f ms each"
              % (step, took / per, counts[step] / exchanges, took / counts[step] / 1000))


if __name__ == "__main__":
    main()
