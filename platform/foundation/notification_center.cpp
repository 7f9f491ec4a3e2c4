#include "foundation/notification_center.h"

#include <algorithm>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace foundation {

NSNotification::NSNotification(QString name, const void* object,
                               std::optional<plist::Dictionary> userInfo)
    : name_(std::move(name)),
      object_(object),
      userInfo_(std::make_shared<const std::optional<plist::Dictionary>>(std::move(userInfo))) {}

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  static NSNotificationCenter center;
  return center;
}

void NSNotificationCenter::addObserverSelectorNameObject(const void* observer, Selector selector,
                                                         const QString& name, const void* object) {
  if (!selector) return;
  std::lock_guard lock(mutex_);
  registrations_.push_back(
      {nextId_++, observer, std::make_shared<Selector>(std::move(selector)), name, object});
}

void NSNotificationCenter::removeObserver(const void* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [observer](const Registration& r) { return r.observer == observer; });
}

void NSNotificationCenter::postNotificationNameObjectUserInfo(
    const QString& name, const void* object, std::optional<plist::Dictionary> userInfo) {
  NSNotification notification(name, object, std::move(userInfo));
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    deliver(notification);
    return;
  }
  std::weak_ptr<char> alive = alive_;
  QMetaObject::invokeMethod(
      app,
      [this, alive, notification] {
        if (alive.lock()) deliver(notification);
      },
      Qt::QueuedConnection);
}

bool NSNotificationCenter::isRegistered(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  return std::any_of(registrations_.begin(), registrations_.end(),
                     [id](const Registration& r) { return r.id == id; });
}

void NSNotificationCenter::deliver(const NSNotification& notification) {
  // Work on a snapshot so observers can change registrations from their callbacks; the
  // lock is never held while an observer runs.
  std::vector<std::pair<std::uint64_t, std::shared_ptr<Selector>>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const Registration& r : registrations_) {
      const bool nameMatches = r.name.isEmpty() || r.name == notification.name();
      const bool senderMatches = !r.object || r.object == notification.object();
      if (nameMatches && senderMatches) targets.emplace_back(r.id, r.selector);
    }
  }
  for (const auto& [id, selector] : targets) {
    if (isRegistered(id)) (*selector)(notification);
  }
}

}  // namespace foundation
