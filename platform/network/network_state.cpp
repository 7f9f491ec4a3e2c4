#include "network/network_state.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QVariantMap>

namespace network {

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kPath = QStringLiteral("/org/freedesktop/NetworkManager");

// A value set through the generic Properties interface can arrive wrapped in one more variant.
uint number(const QVariant& value, bool* ok) {
  QVariant inner = value;
  while (inner.canConvert<QDBusVariant>() && inner.userType() == qMetaTypeId<QDBusVariant>())
    inner = inner.value<QDBusVariant>().variant();
  return inner.toUInt(ok);
}

}  // namespace

NetworkState currentNetworkState(int timeoutMs) {
  NetworkState state;
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return state;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("GetAll"));
  call << kService;
  call.setAutoStartService(false);
  const QDBusReply<QVariantMap> reply = bus.call(call, QDBus::Block, timeoutMs);
  if (!reply.isValid()) return state;
  bool ok = false;
  // NMConnectivityState: 1 none, 2 portal, 3 limited, 4 full (0 unknown).
  switch (number(reply.value().value(QStringLiteral("Connectivity")), &ok)) {
    case 1: state.connectivity = Connectivity::None; break;
    case 2:
    case 3: state.connectivity = Connectivity::Limited; break;
    case 4: state.connectivity = Connectivity::Full; break;
    default: break;
  }
  if (!ok) state.connectivity = Connectivity::Unknown;
  // NMMetered: 1 yes, 3 guessed yes; 2 no, 4 guessed no (0 unknown).
  switch (number(reply.value().value(QStringLiteral("Metered")), &ok)) {
    case 1:
    case 3: state.metered = Metered::Yes; break;
    case 2:
    case 4: state.metered = Metered::No; break;
    default: break;
  }
  if (!ok) state.metered = Metered::Unknown;
  return state;
}

}  // namespace network
