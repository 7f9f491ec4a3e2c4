#!/usr/bin/env python3
"""Serves a folder on loopback, but answers /appcast.xml from the feed files named in the
folder's "feed-order" file, in turn, and holds each answer until its partner request has come
(up to 10 s): two agents asking together both read the installed version before either has
its feed, the way two logins' checks meet.

    paired_feed_server.py FOLDER PORT
"""
import functools
import http.server
import os
import sys
import threading

folder, port = sys.argv[1], int(sys.argv[2])
counter_lock = threading.Lock()
counter = [0]
pair = threading.Barrier(2)


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        if self.path != "/appcast.xml":
            return super().do_GET()
        with open(os.path.join(folder, "feed-order")) as f:
            order = f.read().split()
        with counter_lock:
            name = order[counter[0] % len(order)]
            counter[0] += 1
        try:
            pair.wait(timeout=10)
        except threading.BrokenBarrierError:
            pair.reset()
        body = open(os.path.join(folder, name), "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/xml")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


handler = functools.partial(Handler, directory=folder)
http.server.ThreadingHTTPServer(("127.0.0.1", port), handler).serve_forever()
