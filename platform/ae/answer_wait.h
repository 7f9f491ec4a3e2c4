// A method call whose answer is awaited on the calling thread until a deadline of our own.
#pragma once

#include "ae/send_timing.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <optional>

namespace ae {

// Sends `call` and blocks the calling thread, without running its event loop, until the
// answer (a reply or an error message) arrives or `deadline.wait` has passed since the call.
// Nothing is returned when the deadline came first; an answer that arrives after it is
// dropped. The bus library's own timer, whose slack is 5 %, only cleans up afterwards.
std::optional<QDBusMessage> callUntilDeadline(const QDBusConnection& bus, const QDBusMessage& call,
                                              const ReplyDeadline& deadline);

}  // namespace ae
