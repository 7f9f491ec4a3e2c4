// AESendMessage: one event, one method call on the session bus.
#include "ae/AppleEvents.h"
#include "ae/answer_wait.h"
#include "ae/bus_name.h"
#include "ae/event_record.h"
#include "ae/send_timing.h"
#include "ae/wire.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingCall>
#include <QDBusPendingReply>

#include <new>

namespace ae {
namespace {

OSStatus statusForError(const QDBusMessage& error) {
  switch (QDBusError(error).type()) {
    case QDBusError::ServiceUnknown:
      return procNotFound;
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
      // Before our own deadline: the target left without answering.
      return connectionInvalid;
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

QDBusMessage busDaemonCall(const QString& method, const QList<QVariant>& arguments) {
  QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                     QStringLiteral("org.freedesktop.DBus"), method);
  call.setArguments(arguments);
  return call;
}

OSStatus sendWithoutReply(QDBusConnection& bus, const QString& name, const QDBusMessage& call) {
  // A call that expects no reply cannot learn that nobody owns the name, and
  // QDBusConnection::send only queues it: a caller that exits right away would lose it. So
  // three messages go out back to back, and leave the connection in this order: the
  // question whether the name has an owner (asked before the event, so a target that quits
  // on receipt is not reported absent), the event, and a second question. The bus answers
  // in order, so once the second answer is in, the first is too and the event has left this
  // process: one round trip to the bus daemon, never to the target.
  QDBusPendingCall owned = bus.asyncCall(busDaemonCall(QStringLiteral("NameHasOwner"), {name}));
  if (!bus.send(call)) return connectionInvalid;
  QDBusPendingCall handedOver = bus.asyncCall(busDaemonCall(QStringLiteral("GetId"), {}));
  handedOver.waitForFinished();
  owned.waitForFinished();  // returns at once: its answer came first
  const QDBusPendingReply<bool> ownedReply = owned;
  if (handedOver.isError() || !ownedReply.isValid()) return connectionInvalid;
  return ownedReply.value() ? noErr : procNotFound;
}

OSStatus sendAndWait(QDBusConnection& bus, const QDBusMessage& call, const ReplyDeadline& deadline,
                     AppleEvent* reply, const EventRecord& event) {
  const std::optional<QDBusMessage> answer = callUntilDeadline(bus, call, deadline);
  if (!answer) return errAETimeout;
  if (answer->type() == QDBusMessage::ErrorMessage) return statusForError(*answer);
  auto parsed = wire::answerFromReply(*answer);
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
