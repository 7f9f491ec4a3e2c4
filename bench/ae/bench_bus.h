// What the Apple event benchmarks share: they never run on the user's bus, and they send to
// a second copy of themselves started as the receiver.
#pragma once

#include <QProcess>

namespace ae_bench {

// Runs this program again inside a private bus (dbus-run-session) unless it already is in
// one. Returns only when it is, or when that failed (false, reported on stderr).
bool runOnPrivateBus(int argc, char* argv[]);

// Starts this program with "--receiver" and waits for it to print "ready"; false (reported
// on stderr) if it did not.
bool startReceiver(QProcess& receiver);

}  // namespace ae_bench
