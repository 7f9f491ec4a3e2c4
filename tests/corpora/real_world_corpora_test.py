#!/usr/bin/env python3
"""Runs our feed reader and property-list codec over files that other projects published.

  real_world_corpora_test.py CORPORA BIN_DIR

CORPORA holds appcasts/ (update feeds) and plists/ (property lists), kept outside the
repository; BIN_DIR holds update-publisher and plutil. Exits 77 (skipped) when CORPORA is absent.

Feeds: `update-publisher lint` must end in time, without a crash, with a report or a one-line
refusal, and a check the user asks for from an installation at version 0 must offer the item an
independent reading (ElementTree, below) picks under our rules.

Property lists: `plutil -lint` must agree with Python's plistlib, except where one of our
documented rules says otherwise (PLISTLIB_ACCEPTS, and the two kinds plistlib refuses); what both
read must read back equal in plistlib after -convert binary1, and after -convert xml1 but for
date fractions (XML dates are written to the second), and XML -> binary -> XML must give the
same bytes.
"""
import os
import plistlib
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

SKIPPED = 77
TIMEOUT_SECONDS = 60
SPARKLE = "{http://www.andymatuschak.org/xml-namespaces/sparkle}"
OUR_OS = "linux"

# Where our reading and plistlib's differ, each for a rule of ours (docs/property-lists.md).
# Files we refuse and plistlib reads on: an object that contains itself, an offset outside the
# objects, an object count the file cannot hold, text between the elements of a container.
PLISTLIB_ACCEPTS = [
    re.compile(r"cyclic reference to object \d+: an object may not contain itself"),
    re.compile(r"is not between the header and the offset table"),
    re.compile(r"breaks the rule that each object has an offset-table entry"),
    re.compile(r"unexpected text inside <(dict|array)>"),
]
# Files we read and plistlib refuses: a DOCTYPE is passed over unchecked (only an internal
# subset is refused), and dates outside the years 1-9999, which Python's datetime cannot hold.
DOCTYPE_LINE = re.compile(rb"^\s*<!DOCTYPE", re.MULTILINE)
FAR_DATE = re.compile(r"=> (-|0000-|[0-9]{5,}-)")

ORACLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "plist")
sys.path.insert(0, ORACLE)
import plistlib_oracle  # noqa: E402  (the dump the property-list tests compare with)


def run(command):
    """(status, stdout, stderr); a crash is a negative status, a hang an exception."""
    done = subprocess.run(command, capture_output=True, timeout=TIMEOUT_SECONDS)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


# ---- feeds ----------------------------------------------------------------------------------

def numeric(version):
    """A dotted version of digits only as a tuple without trailing zeros, else None."""
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", version):
        return None
    parts = [int(p) for p in version.split(".")]
    while len(parts) > 1 and parts[-1] == 0:
        parts.pop()
    return tuple(parts)


def our_enclosure(item):
    """The enclosure we take: the first naming our platform, else the first naming none."""
    enclosures = item.findall("enclosure")
    named = [e for e in enclosures if e.get(SPARKLE + "os", "").strip().lower() == OUR_OS]
    unnamed = [e for e in enclosures if not e.get(SPARKLE + "os", "").strip()]
    return (named or unnamed or [None])[0]


def expected_offer(path):
    """For installed version 0, a user check: (candidate versions, critical?, announcement?).

    Candidates are the default channel's items that are not announcements for version 0 and
    have a url and a version for our platform; an item that is an announcement for version 0
    (no limit, any belowVersion, or a version child equal to 0) is not one."""
    channel = ElementTree.parse(path).getroot().find("channel")
    candidates, critical, announcements = [], False, []
    for item in channel.findall("item"):
        if (item.findtext(SPARKLE + "channel") or "").strip():
            continue
        enclosure = our_enclosure(item)
        version = (item.findtext(SPARKLE + "version") or "").strip()
        if not version and enclosure is not None:
            version = enclosure.get(SPARKLE + "version", "").strip()
        if not version or numeric(version) == (0,):
            continue
        informational = item.find(SPARKLE + "informationalUpdate")
        if informational is not None:
            versions = [numeric((v.text or "").strip()) for v in informational.findall(SPARKLE + "version")]
            if (len(informational) == 0 or informational.find(SPARKLE + "belowVersion") is not None
                    or (0,) in versions):
                announcements.append(version)
                continue
        if enclosure is None or not enclosure.get("url", "").strip():
            continue
        candidates.append(version)
        critical = critical or item.find(".//" + SPARKLE + "criticalUpdate") is not None
    return candidates, critical, announcements


def check_feed(path, publisher, problems):
    name = os.path.basename(path)
    status, out, err = run([publisher, "lint", path, "--installed", "0", "--now", "2026-12-09T00:00:00Z"])
    if status < 0:
        problems.append("%s: update-publisher lint died of signal %d" % (name, -status))
        return None
    if status != 0:
        lines = err.strip().splitlines()
        if len(lines) != 1 or not lines[0].startswith("update-publisher: "):
            problems.append("%s: refused without a one-line reason: %r" % (name, err))
        return "refused: " + err.strip()
    user = re.search(r"^user check: (.*)$", out, re.MULTILINE)
    if not user:
        problems.append("%s: no user check in the report:\n%s" % (name, out))
        return None
    said = user.group(1)
    candidates, critical, announcements = expected_offer(path)
    offered = re.match(r"offers (\S+)", said)
    if not candidates:
        announced = re.match(r"announces (\S+)", said)
        if announcements and not (announced and announced.group(1) in announcements):
            problems.append("%s: expected one of the announcements %s, got \"%s\"" % (name, announcements, said))
        elif not announcements and not said.startswith("offers nothing"):
            problems.append("%s: nothing is ours to install, got \"%s\"" % (name, said))
        return said
    if not offered or offered.group(1).rstrip(",") not in candidates:
        problems.append("%s: expected one of %s, got \"%s\"" % (name, candidates, said))
        return said
    version = offered.group(1).rstrip(",")
    if numeric(version) and any(numeric(c) and numeric(c) > numeric(version) for c in candidates):
        problems.append("%s: offers %s although a newer one is there (%s)" % (name, version, candidates))
    if critical != (", a critical update" in said):
        problems.append("%s: critical should be %s: \"%s\"" % (name, critical, said))
    return said


# ---- property lists -------------------------------------------------------------------------

def dump(path):
    """plistlib's reading; what has no dump (objects that contain themselves, a binary null,
    which no kind of value holds) counts as plistlib refusing the file."""
    try:
        return plistlib_oracle.dump_file(path)
    except RecursionError:
        return "error RecursionError: the value contains itself"
    except TypeError as error:  # a binary null, which has no kind of value
        return "error TypeError: %s" % error


def same_values(reference, converted, dates_to_the_second):
    """Dumps equal line by line; with dates_to_the_second, dates may differ by their fraction."""
    ours, theirs = reference.splitlines(), converted.splitlines()
    if len(ours) != len(theirs):
        return False
    for a, b in zip(ours, theirs):
        if a == b:
            continue
        if not (dates_to_the_second and a.startswith("date ") and b.startswith("date ")):
            return False
        seconds = [struct.unpack(">d", bytes.fromhex(line[5:]))[0] for line in (a, b)]
        if abs(seconds[0] - seconds[1]) >= 1:
            return False
    return True


def plistlib_refusal_is_ours(path, plutil, reference):
    """Whether plistlib refuses a file we read for one of the rules above."""
    line = re.search(r"line (\d+)", reference)
    with open(path, "rb") as f:
        content = f.read()
    doctype = DOCTYPE_LINE.search(content)
    if line and doctype and content[:doctype.start()].count(b"\n") + 1 == int(line.group(1)):
        return True
    _, printed, _ = run([plutil, "-p", path])
    return bool(FAR_DATE.search(printed))


def check_plist(path, plutil, scratch, problems):
    name = os.path.basename(path)
    status, out, err = run([plutil, "-lint", path])
    if status < 0:
        problems.append("%s: plutil -lint died of signal %d" % (name, -status))
        return "crash"
    ours = status == 0
    reference = dump(path)
    theirs = not reference.startswith("error")
    if ours != theirs:
        if not ours and any(rule.search(err) for rule in PLISTLIB_ACCEPTS):
            return "refused by our rule, read by plistlib: " + err.strip()
        if ours and plistlib_refusal_is_ours(path, plutil, reference):
            return "read by our rule, refused by plistlib: " + reference
        problems.append("%s: plutil says %s, plistlib says %s" % (name, (out + err).strip(), reference.splitlines()[0]))
        return "disagrees"
    if not ours:
        return "refused by both"

    def convert(source, form, target):
        status, _, err = run([plutil, "-convert", form, source, "-o", target])
        return err.strip() if status != 0 else None

    binary1 = os.path.join(scratch, "direct.binary")
    failed = convert(path, "binary1", binary1)
    if failed or dump(binary1) != reference:
        problems.append("%s: binary1 does not read back equal in plistlib %s" % (name, failed or ""))
    xml1 = os.path.join(scratch, "a.xml")
    failed = convert(path, "xml1", xml1)
    if failed and "control character" in failed:
        return "read (XML cannot carry its control characters)"
    if failed or not same_values(reference, dump(xml1), dates_to_the_second=True):
        problems.append("%s: xml1 does not read back equal in plistlib %s" % (name, failed or ""))
        return "conversion failed"
    # XML -> binary -> XML is stable.
    through_binary = os.path.join(scratch, "b.binary")
    again = os.path.join(scratch, "c.xml")
    failed = convert(xml1, "binary1", through_binary) or convert(through_binary, "xml1", again)
    with open(xml1, "rb") as first, open(again, "rb") as second:
        if failed or first.read() != second.read():
            problems.append("%s: XML -> binary -> XML changed the XML %s" % (name, failed or ""))
    return "read"


def main():
    corpora, bin_dir = sys.argv[1], sys.argv[2]
    if not os.path.isdir(os.path.join(corpora, "appcasts")) or not os.path.isdir(os.path.join(corpora, "plists")):
        print("skipped: no real-world corpora at %s (they live beside the checkout, in ../shared/corpora)" % corpora)
        return SKIPPED
    problems = []
    feeds = sorted(f for f in os.listdir(os.path.join(corpora, "appcasts")) if f.endswith(".xml"))
    for feed in feeds:
        said = check_feed(os.path.join(corpora, "appcasts", feed), os.path.join(bin_dir, "update-publisher"), problems)
        print("feed %s: %s" % (feed, said))
    outcomes = {}
    plists = sorted(f for f in os.listdir(os.path.join(corpora, "plists")) if f != "SOURCES.tsv")
    with tempfile.TemporaryDirectory() as scratch:
        for plist in plists:
            outcome = check_plist(os.path.join(corpora, "plists", plist), os.path.join(bin_dir, "plutil"), scratch, problems)
            if outcome != "read":
                print("plist %s: %s" % (plist, outcome))
            outcomes[outcome.split(":")[0]] = outcomes.get(outcome.split(":")[0], 0) + 1
    print("%d feeds, %d property lists (%s)" % (len(feeds), len(plists),
                                                ", ".join("%s %d" % kv for kv in sorted(outcomes.items()))))
    for problem in problems:
        print("FAIL " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
