"""Reads a running program through AT-SPI, as a screen reader does.

The accessibility bus is found through the session bus (org.a11y.Bus), never through
AT_SPI_BUS_ADDRESS. Events are recorded from the moment the client is made, so a test can
check what was announced."""
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


class Client:
    def __init__(self):
        Atspi.init()
        self.events = []  # (type, role, name) of windows and alerts shown
        self._listener = Atspi.EventListener.new(self._record)
        for event in ("window:create", "window:activate", "object:state-changed:showing"):
            self._listener.register(event)

    def _record(self, event):
        try:
            self.events.append((event.type, event.source.get_role_name(), event.source.get_name()))
        except GLib.Error:
            pass  # the object went away meanwhile

    def pump(self, seconds=0.05):
        end = time.monotonic() + seconds
        context = GLib.MainContext.default()
        while time.monotonic() < end:
            while context.iteration(False):
                pass
            time.sleep(0.01)

    def application(self, name, timeout=30):
        return self.wait(lambda: self._find_application(name), timeout, f"application {name}")

    def _find_application(self, name):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == name:
                return app
        return None

    def wait(self, probe, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            try:
                found = probe()
            except GLib.Error:
                found = None
            if found:
                return found
            if time.monotonic() > deadline:
                raise AssertionError(f"not found within {timeout} s: {what}")
            self.pump(0.1)


def walk(node, depth=0):
    yield node, depth
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child, depth + 1)


def find_all(root, role, name=None):
    """Objects of that role (AT-SPI role name) whose name equals name, or matches it when
    it is a compiled regular expression."""
    found = []
    for node, _ in walk(root):
        if node.get_role_name() != role:
            continue
        node_name = node.get_name()
        if name is None or (name.fullmatch(node_name) if isinstance(name, re.Pattern) else node_name == name):
            found.append(node)
    return found


def find(root, role, name):
    found = find_all(root, role, name)
    return found[0] if len(found) == 1 else None


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def press(node):
    """Activates a control through its action interface, as a screen reader's command does."""
    assert "Action" in node.get_interfaces(), f"{node.get_name()} offers no action"
    names = [Atspi.Action.get_action_name(node, i) for i in range(Atspi.Action.get_n_actions(node))]
    for wanted in ("Press", "press", "click"):
        if wanted in names:
            return Atspi.Action.do_action(node, names.index(wanted))
    raise AssertionError(f"{node.get_name()}: no press action among {names}")


def dump(root, out=sys.stderr):
    for node, depth in walk(root):
        print("  " * depth + f"[{node.get_role_name()}] {node.get_name()!r}", file=out)


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
        if not ok:
            self.failed += 1
        return ok
