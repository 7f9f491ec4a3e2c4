#include "ae/wire.h"

#include <QDBusArgument>
#include <QDBusMetaType>

#include <mutex>

namespace {

struct WireParameter {
  uint keyword = 0;
  uint type = 0;
  QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const WireParameter& p) {
  argument.beginStructure();
  argument << p.keyword << p.type << p.data;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, WireParameter& p) {
  argument.beginStructure();
  argument >> p.keyword >> p.type >> p.data;
  argument.endStructure();
  return argument;
}

}  // namespace

Q_DECLARE_METATYPE(WireParameter)

namespace ae::wire {

void registerTypes() {
  static std::once_flag once;
  std::call_once(once, [] {
    qDBusRegisterMetaType<WireParameter>();
    qDBusRegisterMetaType<QList<WireParameter>>();
  });
}

namespace {

QList<WireParameter> toWire(const std::vector<EventParameter>& parameters) {
  QList<WireParameter> list;
  list.reserve(static_cast<qsizetype>(parameters.size()));
  for (const auto& p : parameters) list.append({p.keyword, p.type, p.data});
  return list;
}

std::optional<std::vector<EventParameter>> fromWire(const QVariant& value) {
  if (!value.canConvert<QDBusArgument>()) return std::nullopt;
  const auto argument = value.value<QDBusArgument>();
  if (argument.currentSignature() != QLatin1String("a(uuay)")) return std::nullopt;
  QList<WireParameter> list;
  argument >> list;
  std::vector<EventParameter> parameters;
  parameters.reserve(static_cast<std::size_t>(list.size()));
  for (const auto& p : list) parameters.push_back({p.keyword, p.type, p.data});
  return parameters;
}

}  // namespace

QString introspectionXml() {
  return QStringLiteral(
      "  <interface name=\"%1\">\n"
      "    <method name=\"%2\">\n"
      "      <arg name=\"event_class\" type=\"u\" direction=\"in\"/>\n"
      "      <arg name=\"event_id\" type=\"u\" direction=\"in\"/>\n"
      "      <arg name=\"address_type\" type=\"u\" direction=\"in\"/>\n"
      "      <arg name=\"address\" type=\"ay\" direction=\"in\"/>\n"
      "      <arg name=\"return_id\" type=\"n\" direction=\"in\"/>\n"
      "      <arg name=\"transaction_id\" type=\"i\" direction=\"in\"/>\n"
      "      <arg name=\"parameters\" type=\"a(uuay)\" direction=\"in\"/>\n"
      "      <arg name=\"status\" type=\"i\" direction=\"out\"/>\n"
      "      <arg name=\"reply_parameters\" type=\"a(uuay)\" direction=\"out\"/>\n"
      "    </method>\n"
      "  </interface>\n")
      .arg(QLatin1String(kInterface), QLatin1String(kMethod));
}

QVariant parametersArgument(const std::vector<EventParameter>& parameters) {
  registerTypes();
  return QVariant::fromValue(toWire(parameters));
}

QDBusMessage eventCall(const QString& destination, const EventRecord& event) {
  QDBusMessage call = QDBusMessage::createMethodCall(destination, QLatin1String(kObjectPath),
                                                     QLatin1String(kInterface), QLatin1String(kMethod));
  call.setAutoStartService(false);
  call << uint(event.eventClass) << uint(event.eventID) << uint(event.addressType) << event.address
       << QVariant::fromValue(qint16(event.returnID)) << qint32(event.transactionID) << parametersArgument(event.parameters);
  return call;
}

std::optional<EventRecord> eventFromCall(const QDBusMessage& call) {
  registerTypes();
  if (call.signature() != QLatin1String(kEventSignature)) return std::nullopt;
  const QList<QVariant> args = call.arguments();
  if (args.size() != 7) return std::nullopt;
  auto parameters = fromWire(args[6]);
  if (!parameters) return std::nullopt;
  EventRecord event;
  event.eventClass = args[0].toUInt();
  event.eventID = args[1].toUInt();
  event.addressType = args[2].toUInt();
  event.address = args[3].toByteArray();
  event.returnID = static_cast<AEReturnID>(args[4].value<qint16>());
  event.transactionID = args[5].toInt();
  event.replyRequested = call.isReplyRequired();
  event.parameters = std::move(*parameters);
  return event;
}

QDBusMessage answerFor(const QDBusMessage& call, OSStatus status, const std::vector<EventParameter>& parameters) {
  return call.createReply(QList<QVariant>{qint32(status), parametersArgument(parameters)});
}

std::optional<Answer> answerFromReply(const QDBusMessage& reply) {
  registerTypes();
  if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String(kAnswerSignature)) {
    return std::nullopt;
  }
  const QList<QVariant> args = reply.arguments();
  auto parameters = fromWire(args.value(1));
  if (!parameters) return std::nullopt;
  return Answer{args[0].toInt(), std::move(*parameters)};
}

}  // namespace ae::wire
