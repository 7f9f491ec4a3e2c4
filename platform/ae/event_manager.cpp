// The receiving side: a bus object at the fixed path that turns calls into events, hands
// them to the registered handlers on the main thread, and answers with the reply.
#include "ae/AppleEventObjects.h"
#include "ae/bus_name.h"
#include "ae/event_record.h"
#include "ae/wire.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusVirtualObject>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace ae {
namespace {

// An event being handled, or suspended, until its answer has gone out.
struct PendingEvent {
  QDBusMessage call;
  QDBusConnection connection;
  NSAppleEventDescriptor reply;
  bool suspended = false;
};

class EventReceiver final : public QDBusVirtualObject {
 public:
  explicit EventReceiver(NSAppleEventManager::Private* manager) : manager_(manager) {}
  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  NSAppleEventManager::Private* manager_;
};

}  // namespace

class NSAppleEventManager::Private {
 public:
  void setHandler(AEEventClass eventClass, AEEventID eventID, Handler handler) {
    std::lock_guard lock(mutex_);
    if (handler) {
      handlers_[{eventClass, eventID}] = std::move(handler);
    } else {
      handlers_.erase({eventClass, eventID});
    }
  }

  Handler handlerFor(AEEventClass eventClass, AEEventID eventID) {
    std::lock_guard lock(mutex_);
    for (const auto& key : {std::pair{eventClass, eventID}, std::pair{eventClass, typeWildCard},
                            std::pair{typeWildCard, eventID}, std::pair{typeWildCard, typeWildCard}}) {
      if (auto it = handlers_.find(key); it != handlers_.end()) return it->second;
    }
    return {};
  }

  OSStatus registerApplication(const QString& bundleIdentifier);
  OSStatus unregisterApplication(const QString& bundleIdentifier);
  void dispatch(const QDBusMessage& call, const QDBusConnection& connection);
  SuspensionID suspendCurrent();
  void resume(SuspensionID id);
  NSAppleEventDescriptor* suspendedReply(SuspensionID id);
  void answerRunningEventsAndFlush();

 private:
  bool ensureReceiver(QDBusConnection& bus);
  void sendAnswer(PendingEvent& pending);
  void flushAnswers();

  std::mutex mutex_;
  std::map<std::pair<AEEventClass, AEEventID>, Handler> handlers_;
  QPointer<EventReceiver> receiver_;
  // Events in handlers, innermost last (a handler may run a nested event loop).
  std::vector<std::shared_ptr<PendingEvent>> current_;
  std::map<SuspensionID, std::shared_ptr<PendingEvent>> suspended_;
  SuspensionID nextSuspensionID_ = 1;
  bool answersSinceFlush_ = false;
};

namespace {

QString EventReceiver::introspect(const QString&) const { return wire::introspectionXml(); }

bool EventReceiver::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  const bool ourInterface = message.interface() == QLatin1String(wire::kInterface);
  if (message.type() != QDBusMessage::MethodCallMessage) return false;
  if (message.member() != QLatin1String(wire::kMethod) || (!ourInterface && !message.interface().isEmpty())) {
    // The bus library would call an unknown member of our interface an unknown interface.
    if (ourInterface && message.isReplyRequired()) {
      connection.send(message.createErrorReply(
          QDBusError::UnknownMethod, QStringLiteral("No such method '%1' in interface '%2' at object path '%3'")
                                         .arg(message.member(), message.interface(), message.path())));
      return true;
    }
    return false;  // introspection, and errors for other interfaces, are the bus library's
  }
  if (QThread::currentThread() == thread()) {
    manager_->dispatch(message, connection);
  } else {
    QMetaObject::invokeMethod(
        this, [manager = manager_, message, connection] { manager->dispatch(message, connection); },
        Qt::QueuedConnection);
  }
  return true;
}

}  // namespace

bool NSAppleEventManager::Private::ensureReceiver(QDBusConnection& bus) {
  if (receiver_) return true;
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return false;
  auto* receiver = new EventReceiver(this);
  receiver->moveToThread(app->thread());  // handlers run on the main thread
  if (!bus.registerVirtualObject(QLatin1String(wire::kObjectPath), receiver, QDBusConnection::SingleNode)) {
    delete receiver;
    return false;
  }
  receiver_ = receiver;
  // The receiver goes with the application; answers sent just before the loop ends must
  // still reach the bus before the process exits.
  QObject::connect(app, &QObject::destroyed, [receiver] { delete receiver; });
  QObject::connect(app, &QCoreApplication::aboutToQuit, receiver, [this] { flushAnswers(); },
                   Qt::DirectConnection);
  return true;
}

OSStatus NSAppleEventManager::Private::registerApplication(const QString& bundleIdentifier) {
  const auto name = busNameForBundleIdentifier(bundleIdentifier.toUtf8());
  if (!name) return paramErr;
  if (!QCoreApplication::instance()) return connectionInvalid;
  wire::registerTypes();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return connectionInvalid;
  if (!ensureReceiver(bus)) return connectionInvalid;
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed = bus.interface()->registerService(
      *name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
  if (!claimed.isValid()) return connectionInvalid;
  return claimed.value() == QDBusConnectionInterface::ServiceRegistered ? noErr : portNameExistsErr;
}

OSStatus NSAppleEventManager::Private::unregisterApplication(const QString& bundleIdentifier) {
  const auto name = busNameForBundleIdentifier(bundleIdentifier.toUtf8());
  if (!name) return paramErr;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return connectionInvalid;
  const QDBusReply<bool> released = bus.interface()->unregisterService(*name);
  if (!released.isValid()) return connectionInvalid;
  return released.value() ? noErr : procNotFound;
}

void NSAppleEventManager::Private::dispatch(const QDBusMessage& call, const QDBusConnection& connection) {
  auto record = wire::eventFromCall(call);
  if (!record) {
    if (call.isReplyRequired()) {
      connection.send(call.createErrorReply(QDBusError::InvalidArgs,
                                            QStringLiteral("An event's arguments have the signature %1")
                                                .arg(QLatin1String(wire::kEventSignature))));
    }
    return;
  }
  EventRecord answer;
  answer.eventClass = kCoreEventClass;
  answer.eventID = kAEAnswer;
  answer.returnID = record->returnID;
  answer.transactionID = record->transactionID;
  const Handler handler = handlerFor(record->eventClass, record->eventID);

  AEDesc desc;
  if (makeEventDesc(std::move(*record), &desc) != noErr) return;
  const NSAppleEventDescriptor event = NSAppleEventDescriptor::adopt(&desc);
  if (makeEventDesc(std::move(answer), &desc) != noErr) return;
  auto pending = std::make_shared<PendingEvent>(PendingEvent{call, connection, NSAppleEventDescriptor::adopt(&desc)});

  if (!handler) {
    pending->reply.setParamDescriptorForKeyword(NSAppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                                                keyErrorNumber);
  } else {
    current_.push_back(pending);
    try {
      handler(event, pending->reply);
    } catch (...) {
      // A handler's exception must not unwind into the bus library.
      pending->reply.setParamDescriptorForKeyword(NSAppleEventDescriptor::descriptorWithInt32(errAEEventFailed),
                                                  keyErrorNumber);
      pending->suspended = false;
    }
    current_.pop_back();
    if (pending->suspended) return;
  }
  sendAnswer(*pending);
}

void NSAppleEventManager::Private::sendAnswer(PendingEvent& pending) {
  if (!pending.call.isReplyRequired()) return;
  const NSAppleEventDescriptor error = pending.reply.paramDescriptorForKeyword(keyErrorNumber);
  const OSStatus status = error.isNull() ? noErr : error.int32Value();
  const EventRecord* reply = eventRecord(pending.reply.aeDesc());
  pending.connection.send(wire::answerFor(pending.call, status, reply ? reply->parameters : std::vector<EventParameter>{}));
  answersSinceFlush_ = true;
}

void NSAppleEventManager::Private::flushAnswers() {
  if (!answersSinceFlush_) return;
  answersSinceFlush_ = false;
  // Messages leave a connection in order: once the bus has answered this call, it has every
  // answer sent before it.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected() && bus.interface()) bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
}

void NSAppleEventManager::Private::answerRunningEventsAndFlush() {
  for (const auto& pending : current_) {
    if (!pending->suspended) sendAnswer(*pending);
  }
  current_.clear();  // their handlers never return
  flushAnswers();
}

NSAppleEventManager::SuspensionID NSAppleEventManager::Private::suspendCurrent() {
  if (current_.empty()) return 0;
  const auto& pending = current_.back();
  if (!pending->suspended) {
    pending->suspended = true;
    suspended_[nextSuspensionID_] = pending;
    return nextSuspensionID_++;
  }
  for (const auto& [id, event] : suspended_) {
    if (event == pending) return id;
  }
  return 0;
}

void NSAppleEventManager::Private::resume(SuspensionID id) {
  auto it = suspended_.find(id);
  if (it == suspended_.end()) return;
  std::shared_ptr<PendingEvent> pending = std::move(it->second);
  suspended_.erase(it);
  pending->suspended = false;
  // Resumed from inside its own handler: the answer goes out when the handler returns.
  for (const auto& event : current_) {
    if (event == pending) return;
  }
  sendAnswer(*pending);
}

NSAppleEventDescriptor* NSAppleEventManager::Private::suspendedReply(SuspensionID id) {
  auto it = suspended_.find(id);
  return it == suspended_.end() ? nullptr : &it->second->reply;
}

NSAppleEventManager::NSAppleEventManager() : d_(std::make_unique<Private>()) {}
NSAppleEventManager::~NSAppleEventManager() = default;

NSAppleEventManager& NSAppleEventManager::sharedAppleEventManager() {
  // Never destroyed: the bus object and handlers may be used until the very end of the process.
  static NSAppleEventManager* manager = new NSAppleEventManager;
  return *manager;
}

void NSAppleEventManager::setEventHandlerAndSelectorForEventClassAndEventID(const void*, Handler selector,
                                                                             AEEventClass eventClass,
                                                                             AEEventID eventID) {
  d_->setHandler(eventClass, eventID, std::move(selector));
}

void NSAppleEventManager::removeEventHandlerForEventClassAndEventID(AEEventClass eventClass, AEEventID eventID) {
  d_->setHandler(eventClass, eventID, {});
}

OSStatus NSAppleEventManager::registerApplication(const QString& bundleIdentifier) {
  return d_->registerApplication(bundleIdentifier);
}

OSStatus NSAppleEventManager::unregisterApplication(const QString& bundleIdentifier) {
  return d_->unregisterApplication(bundleIdentifier);
}

NSAppleEventManager::SuspensionID NSAppleEventManager::suspendCurrentAppleEvent() { return d_->suspendCurrent(); }

void NSAppleEventManager::resumeWithSuspensionID(SuspensionID id) { d_->resume(id); }

void NSAppleEventManager::answerRunningEventsAndFlush() { d_->answerRunningEventsAndFlush(); }

NSAppleEventDescriptor* NSAppleEventManager::replyAppleEventForSuspensionID(SuspensionID id) {
  return d_->suspendedReply(id);
}

}  // namespace ae
