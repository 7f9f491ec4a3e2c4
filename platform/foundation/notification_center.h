#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QString>

#include "plist/value.h"

namespace foundation {

class NSNotification {
 public:
  NSNotification(QString name, const void* object, std::optional<plist::Dictionary> userInfo = {});

  QString name() const { return name_; }
  // The sender given when posting; compared by address only, never dereferenced here.
  const void* object() const { return object_; }
  const std::optional<plist::Dictionary>& userInfo() const { return *userInfo_; }

 private:
  QString name_;
  const void* object_;
  std::shared_ptr<const std::optional<plist::Dictionary>> userInfo_;  // shared by every copy
};

// Delivers notifications to the observers registered for their name (and sender).
//
// Delivery is on the main thread (the thread of the QCoreApplication): synchronous when
// posted there, queued to its event loop when posted on another thread. Without a
// QCoreApplication, delivery is synchronous on the posting thread. An observer removed
// before a queued delivery runs does not receive it. Observers may add or remove
// observers, and post, from inside their callback.
class NSNotificationCenter {
 public:
  using Selector = std::function<void(const NSNotification&)>;

  static NSNotificationCenter& defaultCenter();

  // Registers selector for notifications named name (an empty name means every name)
  // whose sender is object (nullptr means any sender). observer identifies the
  // registration for removeObserver; it is never dereferenced.
  void addObserverSelectorNameObject(const void* observer, Selector selector, const QString& name,
                                     const void* object);

  // Removes every registration of observer.
  void removeObserver(const void* observer);

  void postNotificationNameObjectUserInfo(const QString& name, const void* object,
                                          std::optional<plist::Dictionary> userInfo = {});

  NSNotificationCenter() = default;  // a private center, for tests and local use
  NSNotificationCenter(const NSNotificationCenter&) = delete;
  NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

 private:
  struct Registration {
    std::uint64_t id;
    const void* observer;
    std::shared_ptr<Selector> selector;
    QString name;
    const void* object;
  };

  void deliver(const NSNotification& notification);
  bool isRegistered(std::uint64_t id) const;

  mutable std::mutex mutex_;
  std::vector<Registration> registrations_;
  std::uint64_t nextId_ = 1;
  std::shared_ptr<char> alive_ = std::make_shared<char>();  // lets queued deliveries see a destroyed center
};

}  // namespace foundation
