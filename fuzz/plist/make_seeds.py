#!/usr/bin/env python3
"""Writes seed corpora for the property-list fuzzers: real-shaped files (preference
domains, bundle Info.plist files, keyed archives) in binary (DIR/binary) and XML (DIR/xml),
written by Python's plistlib, plus a few hand-written XML oddities.

  make_seeds.py DIR
"""
import datetime
import os
import plistlib
import sys


def mail_domain(columns):
    table = {}
    for i in range(columns):
        table["MessageListColumns%d" % i] = {str(c): 60 + c for c in (1, 2, 7, 20, 21, 22, 23, 24) if (c + i) % 3}
    return {
        "TableColumns": table,
        "NSUserKeyEquivalents": {},
        "MailboxesViewWidth": 212.5,
        "ShouldShowUnreadMessagesInBold": True,
        "LastUpdateDate": datetime.datetime(2021, 3, 4, 5, 6, 7),
        "SignatureData": b"\x00\x01\x02signature\xff",
        "RecentSearches": ["invoice", "Quillane", "r\u00e9sum\u00e9", "\u65e5\u672c\u8a9e", "\U0001f600"],
        "BigNumbers": [0, -1, 255, 65536, 2**32, -2**63, 2**63 - 1, 2**64 - 1],
    }


def info_plist():
    return {
        "CFBundleIdentifier": "com.example.quillane",
        "CFBundleVersion": "1.2.3",
        "CFBundleShortVersionString": "1.2",
        "SUFeedURL": "https://example.com/appcast.xml",
        "SUPublicEDKey": "J9Dh0m1iFEm8nG3n0sh0pEu0l4a1mZ0z0aLmQm6j7sA=",
        "LSMinimumSystemVersion": "10.6",
    }


def keyed_archive():
    return {
        "$version": 100000,
        "$archiver": "NSKeyedArchiver",
        "$top": {"root": plistlib.UID(1)},
        "$objects": ["$null", {"$class": plistlib.UID(2), "NS.string": "hello"},
                     {"$classname": "NSString", "$classes": ["NSString", "NSObject"]}],
    }


def nested(depth):
    value = "leaf"
    for i in range(depth):
        value = [value] if i % 2 else {"k%d" % i: value}
    return value


VALUES = {
    "mail-small": mail_domain(3),
    "mail-wide": mail_domain(40),
    "info": info_plist(),
    "kinds": {"s": "text", "i": 42, "r": -0.5, "b": False, "d": datetime.datetime(1999, 12, 31, 23, 59, 59),
              "x": b"data" * 20, "a": [], "o": {}, "long": "x" * 300, "u16": "\u00e9" * 20},
    "nested": nested(30),
    "top-array": [1, "two", 3.0, [4], {"five": 5}],
    "keyed-archive": keyed_archive(),
}

XML_ODDITIES = {
    "cdata-comments": '<?xml version="1.0"?>\n<!-- note -->\n<plist version="1.0"><dict><key>a<!-- x --></key>'
                      '<string><![CDATA[<b> & c]]>&#xe9;&amp;</string><key>n</key><integer>0x1F</integer>'
                      '<key>r</key><real>+infinity</real><key>u</key><dict><key>CF$UID</key><integer>3</integer>'
                      '</dict></dict></plist>\n',
    "bare-root": "<array><true/><false/><date>2001-01-01T00:00:00Z</date><data>AAEC\n/w==</data></array>",
    "crlf": '<?xml version="1.0" encoding="UTF-8"?>\r\n<plist version="1.0">\r\n<string>a\r\nb</string>\r\n</plist>\r\n',
}


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    root = argv[0]
    for kind, fmt in (("binary", plistlib.FMT_BINARY), ("xml", plistlib.FMT_XML)):
        os.makedirs(os.path.join(root, kind), exist_ok=True)
        for name, value in VALUES.items():
            try:
                data = plistlib.dumps(value, fmt=fmt, sort_keys=False)
            except TypeError:  # UIDs have no XML form in plistlib
                continue
            with open(os.path.join(root, kind, name), "wb") as f:
                f.write(data)
    for name, text in XML_ODDITIES.items():
        with open(os.path.join(root, "xml", name), "wb") as f:
            f.write(text.encode("utf-8"))
    utf16 = XML_ODDITIES["bare-root"].encode("utf-16")  # with a byte-order mark
    with open(os.path.join(root, "xml", "utf16"), "wb") as f:
        f.write(utf16)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
