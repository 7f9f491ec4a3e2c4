// What the Apple event benchmarks share: they never run on the user's bus, and they send to
// a second copy of themselves started as the receiver.
#pragma once

#include "ae/AppleEventObjects.h"

#include <QProcess>
#include <QString>

#include <optional>

namespace ae_bench {

// Runs this program again inside a private bus (dbus-run-session) unless it already is in
// one. Returns only when it is, or when that failed (false, reported on stderr).
bool runOnPrivateBus(int argc, char* argv[]);

// When this program was started as the receiver (its one argument "--receiver"): claims
// `name` on the bus, handles every event with `handler`, prints "ready" and serves events
// until killed; its exit status. Nothing when this is not the receiver.
std::optional<int> runAsReceiver(int argc, char* argv[], const QString& name,
                                 ae::NSAppleEventManager::Handler handler);

// Starts this program with "--receiver" and waits for it to print "ready"; false (reported
// on stderr) if it did not.
bool startReceiver(QProcess& receiver);

}  // namespace ae_bench
