#!/usr/bin/env python3
"""Counts the sequence numbers of quorvel-loadgen that reached a written log.

Works on any line layout that keeps the message text (quorvel's received-
message log, rsyslog's omfile output): every "seq=NNNNNNNNNN" found counts.

    bench/seqcount.py --expect N [--first-seq S] FILE...

prints delivered=D expected=N percent=P duplicates=U out_of_order=O unexpected=X
  delivered     distinct numbers from first-seq .. first-seq+N-1 found
  duplicates    numbers found more than once
  out_of_order  lines whose number is below one seen earlier in the same file
  unexpected    numbers outside the expected range (another run's datagrams)
"""

import argparse
import re
import sys
from dataclasses import dataclass

SEQ = re.compile(rb"seq=(\d{10})")


@dataclass
class Count:
    expected: int
    delivered: int = 0
    duplicates: int = 0
    out_of_order: int = 0
    unexpected: int = 0

    @property
    def percent(self):
        return 100.0 * self.delivered / self.expected if self.expected else 0.0

    @property
    def lost(self):
        return self.expected - self.delivered

    def line(self):
        return ("delivered=%d expected=%d percent=%.3f duplicates=%d out_of_order=%d unexpected=%d"
                % (self.delivered, self.expected, self.percent, self.duplicates, self.out_of_order,
                   self.unexpected))


def count_bytes(chunks, expected, first_seq=0):
    """Counts over byte strings, each the whole content of one log file."""
    seen = bytearray(expected)
    result = Count(expected)
    for data in chunks:
        highest = -1
        for match in SEQ.finditer(data):
            n = int(match.group(1)) - first_seq
            if not 0 <= n < expected:
                result.unexpected += 1
                continue
            if seen[n]:
                result.duplicates += 1
            else:
                seen[n] = 1
                result.delivered += 1
            if n < highest:
                result.out_of_order += 1
            highest = max(highest, n)
    return result


def count_files(paths, expected, first_seq=0):
    """A missing file counts as an empty one: nothing was written."""
    def contents():
        for path in paths:
            try:
                with open(path, "rb") as f:
                    yield f.read()
            except FileNotFoundError:
                yield b""
    return count_bytes(contents(), expected, first_seq)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--expect", type=int, required=True, help="how many datagrams were sent")
    parser.add_argument("--first-seq", type=int, default=0, help="the first sequence number sent")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    print(count_files(args.files, args.expect, args.first_seq).line())


if __name__ == "__main__":
    sys.exit(main())
