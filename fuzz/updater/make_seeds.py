#!/usr/bin/env python3
"""Writes the seed corpora of the updater's fuzzers: feeds (seeds/feed) and archives
(seeds/archive), honest and hostile ones, made here so that no binary file is committed."""
import io
import os
import sys
import tarfile
import time
import zipfile

NS = "http://www.andymatuschak.org/xml-namespaces/sparkle"
QF = "urn:quillane:xml-namespaces:signed-feed"


def feed(items, extra_channel="", root_extra=""):
    return (f'<?xml version="1.0" encoding="utf-8"?>\n'
            f'<rss version="2.0" xmlns:sparkle="{NS}" xmlns:qf="{QF}"{root_extra}>\n'
            f'  <channel>\n    <title>Quillane</title>\n{extra_channel}{items}  </channel>\n</rss>\n')


def item(version, attr=False, extra=""):
    if attr:
        return (f'    <item><title>{version}</title><enclosure url="https://u/{version}.zip" '
                f'sparkle:version="{version}" sparkle:shortVersionString="{version} (x)" length="10" '
                f'sparkle:edSignature="{"A" * 86}=="/>{extra}</item>\n')
    return (f'    <item><title>{version}</title><sparkle:version>{version}</sparkle:version>'
            f'<sparkle:releaseNotesLink>https://u/n.html</sparkle:releaseNotesLink>{extra}'
            f'<enclosure url="https://u/{version}.tar.gz" length="99"/></item>\n')


def feeds():
    yield "empty-channel", feed("")
    yield "element-version", feed(item("1.1"))
    yield "attribute-version", feed(item("2.0b3", attr=True))
    yield "several", feed(item("1.10") + item("1.9", attr=True) + item("1.0 (1234)") + item("1.0a1"))
    yield "critical", feed(item("3.0", extra="<sparkle:criticalUpdate/>"))
    yield "description", feed(item("1.2", extra="<description><![CDATA[<b>notes</b>]]></description>"))
    yield "no-enclosure", feed("    <item><title>news</title><description>hi</description></item>\n")
    yield "expiry", feed(item("1.1"), "    <qf:expires>2027-01-01T00:00:00Z</qf:expires>\n")
    yield "signed", feed(item("1.1"), "    <qf:expires>2027-01-01T00:00:00Z</qf:expires>\n") + \
        "<!-- quillane-feed-signature: " + "B" * 86 + "== -->\n"
    yield "other-prefix", feed("    <item><s:version>4</s:version><enclosure url=\"u\"/></item>\n",
                               root_extra=f' xmlns:s="{NS}"')
    yield "dtd", '<?xml version="1.0"?><!DOCTYPE rss [<!ENTITY a "aaaa">]><rss><channel><title>&a;</title></channel></rss>'
    yield "entities", feed(item("1.1", extra="<description>&amp;&lt;&#x41;</description>"))
    yield "critical-tags", feed(item("3.1", extra="<sparkle:tags> <sparkle:criticalUpdate /> </sparkle:tags>"))
    yield "platforms", feed(item("3.2", extra='<enclosure sparkle:os="windows" url="https://u/w.exe" length="5"/>'
                                              '<enclosure sparkle:os="linux" url="https://u/l.tar.xz" length="6"/>'))
    yield "informational-versions", feed(item("4.0", extra="<sparkle:informationalUpdate><sparkle:version>1.1</sparkle:version>"
                                                           "<sparkle:belowVersion>1.0</sparkle:belowVersion></sparkle:informationalUpdate>"))
    yield "phased-dates", feed(item("1.3", extra="<pubDate>Mon, 07 Dec 26 10:00 EST</pubDate>"
                                                 "<sparkle:phasedRolloutInterval>60</sparkle:phasedRolloutInterval>") +
                               item("1.2", extra="<pubDate>2026-12-07T10:00:00+01:00</pubDate>"
                                                 "<sparkle:phasedRolloutInterval>60</sparkle:phasedRolloutInterval>"))


def tar_bytes(members, compression):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:" + compression) as tar:
        for name, kind, data in members:
            info = tarfile.TarInfo(name)
            info.mtime = 1700000000
            if kind == "dir":
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(info)
            elif kind == "link":
                info.type, info.linkname = tarfile.SYMTYPE, data
                tar.addfile(info)
            elif kind == "hard":
                info.type, info.linkname = tarfile.LNKTYPE, data
                tar.addfile(info)
            elif kind == "fifo":
                info.type = tarfile.FIFOTYPE
                tar.addfile(info)
            else:
                info.size, info.mode = len(data), 0o755 if name.endswith("Quillane") else 0o644
                tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def zip_bytes(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, kind, data in members:
            info = zipfile.ZipInfo(name + ("/" if kind == "dir" else ""), date_time=(2024, 1, 1, 0, 0, 0))
            if kind == "dir":
                info.external_attr = (0o40755 << 16) | 0x10
                z.writestr(info, b"")
            elif kind == "link":
                info.external_attr = 0o120777 << 16
                z.writestr(info, data)
            else:
                info.external_attr = 0o100644 << 16
                z.writestr(info, data)
    return out.getvalue()


GOOD = [
    ("Q.mailbundle", "dir", None),
    ("Q.mailbundle/Contents", "dir", None),
    ("Q.mailbundle/Contents/Info.plist", "file", b"<plist version=\"1.0\"><dict/></plist>"),
    ("Q.mailbundle/Contents/MacOS/Quillane", "file", b"#!/bin/sh\n"),
    ("Q.mailbundle/Contents/Current", "link", "MacOS"),
    ("Q.mailbundle/Contents/MacOS/Up", "link", "../Info.plist"),
]

HOSTILE = {
    "traversal": GOOD + [("Q.mailbundle/../../x", "file", b"x")],
    "absolute": GOOD + [("/tmp/x", "file", b"x")],
    "escaping-link": GOOD + [("Q.mailbundle/l", "link", "../../..")],
    "hard-link": GOOD + [("Q.mailbundle/h", "hard", "Q.mailbundle/Contents/Info.plist")],
    "fifo": GOOD + [("Q.mailbundle/p", "fifo", None)],
    "two-tops": GOOD + [("R.mailbundle", "dir", None)],
    "through-link": GOOD + [("Q.mailbundle/Contents/Current/x", "file", b"x")],
    "duplicate": GOOD + [("Q.mailbundle/Contents/Info.plist", "file", b"again")],
}


def archives():
    for compression in ("gz", "xz", "bz2"):
        yield f"good.tar.{compression}", tar_bytes(GOOD, compression)
    yield "good.zip", zip_bytes(GOOD)
    for name, members in HOSTILE.items():
        yield f"{name}.tar.gz", tar_bytes(members, "gz")
    yield "traversal.zip", zip_bytes(HOSTILE["traversal"])
    yield "escaping-link.zip", zip_bytes(HOSTILE["escaping-link"])
    yield "bomb.tar.xz", tar_bytes([("Q.mailbundle", "dir", None), ("Q.mailbundle/z", "file", bytes(8 << 20))], "xz")


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "seeds"
    for kind, seeds in (("feed", ((n + ".xml", t.encode()) for n, t in feeds())), ("archive", archives())):
        folder = os.path.join(root, kind)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    print(f"seeds written to {root}/feed and {root}/archive")


if __name__ == "__main__":
    main()
