// AESendMessage: one event, one method call on the session bus.
#include "ae/AppleEvents.h"
#include "ae/bus_name.h"
#include "ae/event_record.h"
#include "ae/send_timing.h"
#include "ae/wire.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusReply>

#include <chrono>
#include <new>

namespace ae {
namespace {

using Clock = std::chrono::steady_clock;

OSStatus statusForError(const QDBusMessage& error, bool deadlinePassed) {
  switch (QDBusError(error).type()) {
    case QDBusError::ServiceUnknown:
      return procNotFound;
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
      // The bus also answers NoReply when the target leaves without answering; only a
      // call that has used up its time timed out.
      return deadlinePassed ? errAETimeout : connectionInvalid;
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::InvalidArgs:
    case QDBusError::InvalidSignature:
      return errAEEventNotHandled;
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
    case QDBusError::NoNetwork:
    case QDBusError::AccessDenied:
    case QDBusError::LimitsExceeded:
      return connectionInvalid;
    default:
      break;
  }
  if (error.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) return procNotFound;
  return errAEEventFailed;
}

OSStatus sendWithoutReply(QDBusConnection& bus, const QString& name, const QDBusMessage& call) {
  QDBusConnectionInterface* daemon = bus.interface();
  if (!daemon) return connectionInvalid;
  // A call that expects no reply cannot learn that nobody owns the name, so ask the bus
  // first: a round trip to the bus daemon only, never to the target.
  const QDBusReply<bool> owned = daemon->isServiceRegistered(name);
  if (!owned.isValid()) return connectionInvalid;
  if (!owned.value()) return procNotFound;
  // QDBusConnection::send marks a method call NO_REPLY_EXPECTED, but only queues it: a
  // caller that exits right away would lose it. Messages leave a connection in order, so
  // once the bus has answered one more call, the event has left this process. (Asking only
  // after the send would report a target that quits on receipt as absent.)
  if (!bus.send(call)) return connectionInvalid;
  if (!daemon->isServiceRegistered(name).isValid()) return connectionInvalid;
  return noErr;
}

OSStatus sendAndWait(QDBusConnection& bus, const QDBusMessage& call, const ReplyDeadline& deadline,
                     AppleEvent* reply, const EventRecord& event) {
  const auto start = Clock::now();
  const QDBusMessage answer = bus.call(call, QDBus::Block, deadline.busTimeoutMs);
  const auto elapsed = Clock::now() - start;
  const bool deadlinePassed = !deadline.unlimited && elapsed >= deadline.wait;

  if (answer.type() == QDBusMessage::ErrorMessage) {
    return statusForError(answer, deadlinePassed);
  }
  auto parsed = wire::answerFromReply(answer);
  if (!parsed) return errAEEventFailed;
  if (reply) {
    EventRecord answerEvent;
    answerEvent.eventClass = kCoreEventClass;
    answerEvent.eventID = kAEAnswer;
    answerEvent.returnID = event.returnID;
    answerEvent.transactionID = event.transactionID;
    answerEvent.parameters = std::move(parsed->parameters);
    if (const OSErr made = makeEventDesc(std::move(answerEvent), reply); made != noErr) return made;
  }
  return parsed->status;
}

}  // namespace
}  // namespace ae

OSStatus AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode, long timeOutInTicks) {
  AEInitializeDesc(reply);
  if (!event) return paramErr;
  const ae::EventRecord* record = ae::eventRecord(event);
  if (!record) return errAENotAppleEvent;
  if (record->addressType != typeApplicationBundleID) return errAEUnknownAddressType;
  const AESendMode policy = sendMode & kAEReplyModeMask;
  if (policy != kAENoReply && policy != kAEWaitReply) return paramErr;
  const auto deadline = ae::replyDeadline(timeOutInTicks);
  if (!deadline) return paramErr;

  try {
    // An identifier without a bus name cannot belong to any running application.
    const auto name = ae::busNameForBundleIdentifier(record->address);
    if (!name) return procNotFound;
    // The call first: it registers the wire types before the bus connection exists, so that
    // they outlive it at exit.
    const QDBusMessage call = ae::wire::eventCall(*name, *record);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return connectionInvalid;
    if (policy == kAENoReply) return ae::sendWithoutReply(bus, *name, call);
    return ae::sendAndWait(bus, call, *deadline, reply, *record);
  } catch (const std::bad_alloc&) {
    AEDisposeDesc(reply);
    return memFullErr;
  }
}
