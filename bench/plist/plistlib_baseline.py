#!/usr/bin/env python3
"""Baseline for the property-list benchmark: Python's plistlib.

  plistlib_baseline.py generate KEYS PATH     write a Mail-shaped binary domain of KEYS keys
  plistlib_baseline.py time PATH REPEATS      read, clean up "TableColumns" and write the
                                              domain back (binary) REPEATS times; print the
                                              median seconds
  plistlib_baseline.py codec PATH REPEATS     print the median seconds of reading the domain
                                              alone, then of writing it (binary) alone
  plistlib_baseline.py generate-mixed ENTRIES PATH
                                              write a binary domain of ENTRIES mixed top-level
                                              entries (about 44 bytes each)
  plistlib_baseline.py convert PATH OUT REPEATS
                                              read PATH and write it to OUT (binary) REPEATS
                                              times, as plutil -convert binary1 does; print
                                              the median seconds

The mixed domain has top-level entries of every common kind: integers, reals, booleans,
dates, strings, data, and small arrays and dictionaries of those.

The Mail-shaped domain is shaped like Mail's settings: a "TableColumns" dictionary of column
dictionaries (some holding the plug-in's column identifiers "20".."24"), and many other
keys: per-mailbox state dictionaries, strings, numbers, dates and data.
"""
import datetime
import plistlib
import random
import statistics
import sys
import time
import uuid

PLUGIN_COLUMNS = ["20", "21", "22", "23", "24"]


def generate(keys, path):
    rng = random.Random(keys)
    columns = {}
    for i in range(max(1, keys // 250)):
        column = {}
        for identifier in ["1", "2", "3", "4", "7", "9", "13"] + PLUGIN_COLUMNS:
            if rng.random() < 0.8:
                column[identifier] = {"Width": rng.randint(40, 400), "Visible": rng.random() < 0.7}
        columns["MessageListColumns-%s" % uuid.UUID(int=rng.getrandbits(128))] = column
    domain = {"TableColumns": columns}
    base = datetime.datetime(2023, 1, 1)
    while len(domain) < keys:
        n = len(domain)
        name = "MailboxState-%012x" % rng.getrandbits(48)
        kind = n % 4
        if kind == 0:
            domain[name] = {"SortOrder": rng.choice(["received-date", "subject", "from"]),
                            "ScrollPosition": rng.random() * 5000, "Unread": rng.randint(0, 9999)}
        elif kind == 1:
            domain[name] = base + datetime.timedelta(seconds=rng.randint(0, 10**8))
        elif kind == 2:
            domain[name] = "imap://user%d@example.com/INBOX/%d" % (n, rng.randint(0, 10**4))
        else:
            domain[name] = bytes(rng.getrandbits(8) for _ in range(12))
    with open(path, "wb") as f:
        plistlib.dump(domain, f, fmt=plistlib.FMT_BINARY, sort_keys=False)


def generate_mixed(entries, path):
    rng = random.Random(entries)
    base = datetime.datetime(2023, 1, 1)
    domain = {}
    for n in range(entries):
        kind = n % 8
        name = "Setting-%06d" % n
        if kind == 0:
            domain[name] = rng.randint(0, 10**9)
        elif kind == 1:
            domain[name] = rng.random() * 1000
        elif kind == 2:
            domain[name] = "value %d of entry %d" % (rng.randint(0, 10**6), n)
        elif kind == 3:
            domain[name] = [rng.randint(0, 300), "item-%d" % (n % 1000), rng.random() < 0.5]
        elif kind == 4:
            domain[name] = {"Width": rng.randint(40, 400), "Name": "column %d" % (n % 5000), "On": True}
        elif kind == 5:
            domain[name] = bytes(rng.getrandbits(8) for _ in range(24))
        elif kind == 6:
            domain[name] = base + datetime.timedelta(seconds=rng.randint(0, 10**8))
        else:
            domain[name] = rng.random() < 0.5
    with open(path, "wb") as f:
        plistlib.dump(domain, f, fmt=plistlib.FMT_BINARY, sort_keys=False)


def convert_once(path, out):
    started = time.perf_counter()
    with open(path, "rb") as f:
        value = plistlib.load(f)
    with open(out, "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
    return time.perf_counter() - started


def clean_up(domain):
    columns = domain.get("TableColumns")
    if columns is not None:
        for column in columns.values():
            for identifier in PLUGIN_COLUMNS:
                column.pop(identifier, None)


def time_once(path):
    started = time.perf_counter()
    with open(path, "rb") as f:
        domain = plistlib.load(f)
    clean_up(domain)
    data = plistlib.dumps(domain, fmt=plistlib.FMT_BINARY, sort_keys=False)
    elapsed = time.perf_counter() - started
    assert len(data) > 0
    return elapsed


def main(argv):
    if len(argv) == 3 and argv[0] == "generate":
        generate(int(argv[1]), argv[2])
        return 0
    if len(argv) == 3 and argv[0] == "generate-mixed":
        generate_mixed(int(argv[1]), argv[2])
        return 0
    if len(argv) == 4 and argv[0] == "convert":
        print("%.6f" % statistics.median(convert_once(argv[1], argv[2]) for _ in range(int(argv[3]))))
        return 0
    if len(argv) == 3 and argv[0] == "codec":
        with open(argv[1], "rb") as f:
            data = f.read()
        reads, writes = [], []
        for _ in range(int(argv[2])):
            started = time.perf_counter()
            domain = plistlib.loads(data)
            reads.append(time.perf_counter() - started)
            started = time.perf_counter()
            plistlib.dumps(domain, fmt=plistlib.FMT_BINARY, sort_keys=False)
            writes.append(time.perf_counter() - started)
        print("%.6f %.6f" % (statistics.median(reads), statistics.median(writes)))
        return 0
    if len(argv) == 3 and argv[0] == "time":
        print("%.6f" % statistics.median(time_once(argv[1]) for _ in range(int(argv[2]))))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
