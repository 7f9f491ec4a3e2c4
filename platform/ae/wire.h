// How an event travels on the session bus: one method call per event.
//
//   destination  the target's bundle identifier as a bus name (ae/bus_name.h)
//   object path  /org/quillane/AppleEvents
//   interface    org.quillane.AppleEvents
//   method       Event(u class, u id, u address_type, ay address, n return_id,
//                      i transaction_id, a(uuay) parameters) -> (i status, a(uuay) reply_parameters)
// Four-character codes travel as their 32-bit values; a parameter is (keyword, type, bytes).
#pragma once

#include "ae/event_record.h"

#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

namespace ae::wire {

inline constexpr char kObjectPath[] = "/org/quillane/AppleEvents";
inline constexpr char kInterface[] = "org.quillane.AppleEvents";
inline constexpr char kMethod[] = "Event";
inline constexpr char kEventSignature[] = "uuuaynia(uuay)";
inline constexpr char kAnswerSignature[] = "ia(uuay)";

// Registers the marshalling of a(uuay). Call before the process's first bus connection is
// made, so that the registration outlives the connection when the process exits.
void registerTypes();

// The receiving object's introspection data (the <interface> element).
QString introspectionXml();

// The call carrying `event` to the bus name `destination`; it never starts an application.
QDBusMessage eventCall(const QString& destination, const EventRecord& event);

// The event carried by `call`, or nothing when its arguments do not have kEventSignature.
// replyRequested is taken from the message.
std::optional<EventRecord> eventFromCall(const QDBusMessage& call);

// The method return answering `call` and the status and parameters it carries.
QDBusMessage answerFor(const QDBusMessage& call, OSStatus status, const std::vector<EventParameter>& parameters);
struct Answer {
  OSStatus status = noErr;
  std::vector<EventParameter> parameters;
};
std::optional<Answer> answerFromReply(const QDBusMessage& reply);

// Marshalling of a(uuay), for callers that build calls by hand.
QVariant parametersArgument(const std::vector<EventParameter>& parameters);

}  // namespace ae::wire
