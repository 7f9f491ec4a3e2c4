#!/usr/bin/env python3
"""Python's plistlib as an independent reference for the property-list codec tests.

  plistlib_oracle.py dump FILE...           print each file's value, as plistlib reads it
  plistlib_oracle.py generate SEED COUNT DIR
      write COUNT random values as DIR/N.binary and DIR/N.xml (with plistlib) and what
      plistlib reads back from each as DIR/N.binary.dump and DIR/N.xml.dump (read back, not
      taken from the value written: plistlib's binary writer stores 0.0 and -0.0 as one
      object, so the file, not the value, is the reference)

The dump is one line per value, pre-order, with strings and bytes in hex so that it is
unambiguous; the C++ tests print values the same way. A file that plistlib cannot read
dumps as a line starting with "error".
"""
import datetime
import math
import os
import plistlib
import random
import struct
import sys

EPOCH = datetime.datetime(2001, 1, 1)


def dump(value, out):
    if isinstance(value, bool):
        out.append("bool %d" % value)
    elif isinstance(value, int):
        out.append("int %d" % value)
    elif isinstance(value, float):
        out.append("real nan" if math.isnan(value) else "real " + struct.pack(">d", value).hex())
    elif isinstance(value, str):
        out.append("string " + value.encode("utf-8").hex())
    elif isinstance(value, bytes):
        out.append("data " + value.hex())
    elif isinstance(value, datetime.datetime):
        seconds = (value - EPOCH).total_seconds()
        out.append("date " + struct.pack(">d", seconds).hex())
    elif isinstance(value, plistlib.UID):
        out.append("uid %d" % value.data)
    elif isinstance(value, dict):
        # Keyed archives spell a UID in XML as a one-entry dictionary; plistlib leaves it one.
        if list(value.keys()) == ["CF$UID"] and isinstance(value["CF$UID"], int) \
                and not isinstance(value["CF$UID"], bool) and 0 <= value["CF$UID"] < 2**64:
            out.append("uid %d" % value["CF$UID"])
            return
        out.append("dict %d" % len(value))
        for key, item in value.items():
            out.append("key " + key.encode("utf-8").hex())
            dump(item, out)
    elif isinstance(value, list):
        out.append("array %d" % len(value))
        for item in value:
            dump(item, out)
    else:
        raise TypeError("unexpected %r" % type(value))


def dump_file(path):
    try:
        with open(path, "rb") as f:
            value = plistlib.load(f, dict_type=dict)
    except Exception as error:  # any refusal is a finding for the caller
        return "error %s: %s" % (type(error).__name__, error)
    lines = []
    dump(value, lines)
    return "\n".join(lines)


TEXT_PIECES = ["a", "Z", "0", " ", "\n", "\t", "&", "<", ">", "\"", "'", "]]>", "é", "ß", "Ω", "中文",
               "日本", "\u200b", "\ufeff", "😀", "𝄞", "\U0010fffd", "key", "20", "TableColumns"]


def random_text(rng, for_xml):
    pieces = [rng.choice(TEXT_PIECES) for _ in range(rng.randint(0, 12))]
    if not for_xml and rng.random() < 0.2:
        pieces.append(chr(rng.choice([0, 1, 7, 0x1b, 0x7f, 0x0d])))
    return "".join(pieces)


def random_scalar(rng, for_xml):
    kind = rng.randrange(8 if for_xml else 9)
    if kind == 0:
        return random_text(rng, for_xml)
    if kind == 1:
        return rng.choice([0, 1, -1, 14, 15, 255, 256, 65535, 65536, 2**31, 2**32 - 1, 2**32, 2**63 - 1,
                           -2**63, 2**63, 2**64 - 1, rng.randint(-2**63, 2**64 - 1)])
    if kind == 2:
        return rng.choice([0.0, -0.0, 0.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf, math.nan,
                           rng.uniform(-1e6, 1e6)])
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return EPOCH + datetime.timedelta(seconds=rng.randint(-63113904000, 252423993599))
    if kind == 5:
        return bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 3, 14, 15, 16, 100])))
    if kind in (6, 7):
        return random_text(rng, for_xml) * rng.randint(1, 3)
    return plistlib.UID(rng.choice([0, 255, 256, 2**32, 2**64 - 1, rng.randrange(2**64)]))


def random_value(rng, depth, for_xml):
    if depth >= 4 or rng.random() < 0.45:
        return random_scalar(rng, for_xml)
    if rng.random() < 0.5:
        return [random_value(rng, depth + 1, for_xml) for _ in range(rng.choice([0, 1, 3, 14, 15, 20]))]
    result = {}
    for _ in range(rng.choice([0, 1, 5, 9, 15, 20])):
        result[random_text(rng, for_xml) + str(rng.randrange(1000))] = random_value(rng, depth + 1, for_xml)
    return result


def generate(seed, count, directory):
    rng = random.Random(seed)
    for index in range(count):
        for fmt, name, for_xml in ((plistlib.FMT_BINARY, "binary", False), (plistlib.FMT_XML, "xml", True)):
            value = {"root": random_value(rng, 0, for_xml)}
            if index == 0:  # enough objects for two-byte references and offsets
                value["many"] = [random_scalar(rng, for_xml) for _ in range(700)]
            path = os.path.join(directory, "%d.%s" % (index, name))
            with open(path, "wb") as f:
                plistlib.dump(value, f, fmt=fmt, sort_keys=False)
            with open(path + ".dump", "w") as f:
                f.write(dump_file(path))


def main(argv):
    if len(argv) >= 2 and argv[0] == "dump":
        for path in argv[1:]:
            print(dump_file(path))
            print("--end--")
        return 0
    if len(argv) == 4 and argv[0] == "generate":
        generate(int(argv[1]), int(argv[2]), argv[3])
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
