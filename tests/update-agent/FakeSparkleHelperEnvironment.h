// A SparkleHelperEnvironment that records what SparkleHelper does, in order, as readable
// lines ("terminate", "send aevt/quit to com.apple.mail mode 3 timeout 600", ...), and lets a
// test play the outside world: deliver control events, post notifications, fire delayed calls,
// make the Apple Event Manager fail. Descriptors are real ones, so leaks and double releases
// show under the sanitizers.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "update-agent/SparkleHelperEnvironment.h"

class FakeSparkleHelperEnvironment final : public SparkleHelperEnvironment {
 public:
  class FakeUpdater final : public Updater {
   public:
    explicit FakeUpdater(FakeSparkleHelperEnvironment& environment) : environment_(environment) {}
    void setDelegate(updater::SUUpdaterDelegate* delegate) override {
      this->delegate = delegate;
      environment_.record("updater setDelegate");
    }
    void checkForUpdatesInBackground() override { environment_.record("updater checkForUpdatesInBackground"); }
    void checkForUpdates(QObject* sender) override {
      environment_.record(sender ? "updater checkForUpdates sender" : "updater checkForUpdates null");
    }
    updater::SUUpdaterDelegate* delegate = nullptr;

   private:
    FakeSparkleHelperEnvironment& environment_;
  };

  // ---- What the world answers.
  OSErr createDescStatus = noErr;
  OSErr createAppleEventStatus = noErr;
  OSStatus sendStatus = noErr;
  std::optional<QString> mailPath = QStringLiteral("/usr/share/applications/com.apple.mail.desktop");
  QStringList libraryDirectories = {QStringLiteral("/home/someone/Library")};
  std::optional<QString> ownBundlePath;
  bool updaterAvailable = true;
  FakeUpdater updater{*this};

  // ---- What happened, one line per effect.
  std::vector<std::string> trace;
  std::vector<QString> logLines;
  int liveDescriptors = 0;  // made through this environment and not yet released

  void record(std::string line) { trace.push_back(std::move(line)); }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : trace) n += (l == line);
    return n;
  }
  // Whether the lines occur in this order (others may come between them).
  bool inOrder(const std::vector<std::string>& lines) const {
    std::size_t next = 0;
    for (const auto& l : trace) {
      if (next < lines.size() && l == lines[next]) ++next;
    }
    return next == lines.size();
  }

  // ---- The outside world acting on the helper.
  bool deliverControlEvent(FourCharCode eventClass, FourCharCode eventID) {
    const auto handler = handlers_.find({eventClass, eventID});
    if (handler == handlers_.end()) return false;
    const auto target =
        ae::NSAppleEventDescriptor::initWithDescriptorTypeData(typeApplicationBundleID, "org.quillane.UpdateAgent");
    const auto event = ae::NSAppleEventDescriptor::
        appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(eventClass, eventID, target,
                                                                             kAutoGenerateReturnID, kAnyTransactionID);
    auto reply = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
        kCoreEventClass, kAEAnswer, ae::NSAppleEventDescriptor::nullDescriptor(), event.returnID(), kAnyTransactionID);
    handler->second(event, reply);
    lastReply = reply;
    return true;
  }
  ae::NSAppleEventDescriptor lastReply;

  // Posts to the observers registered for that name and any sender (or this one).
  int post(const QString& name, const void* sender = nullptr, std::optional<plist::Dictionary> userInfo = {}) {
    const foundation::NSNotification notification(name, sender, std::move(userInfo));
    int delivered = 0;
    const auto observers = observers_;  // an observer may register or remove others
    for (const auto& o : observers) {
      if (o.name == name && (o.object == nullptr || o.object == sender)) {
        o.selector(notification);
        ++delivered;
      }
    }
    return delivered;
  }

  // The delayed calls that are due, as the main loop would run them.
  void runDelayedCalls() {
    auto due = std::move(delayed_);
    delayed_.clear();
    for (auto& [selector, object] : due) selector(object);
  }
  std::size_t pendingDelayedCalls() const { return delayed_.size(); }
  std::vector<double> delays;

  // ---- SparkleHelperEnvironment
  void initializeDesc(AEDesc* desc) override { AEInitializeDesc(desc); }

  OSErr createDesc(DescType type, const void* data, Size size, AEDesc* result) override {
    record("createDesc " + codeText(type) + " " + std::string(static_cast<const char*>(data), size));
    if (createDescStatus != noErr) {
      AEInitializeDesc(result);
      return createDescStatus;
    }
    const OSErr err = AECreateDesc(type, data, size, result);
    if (err == noErr) remember(result, "target");
    return err;
  }

  OSErr createAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID, AppleEvent* result) override {
    record("createAppleEvent " + codeText(eventClass) + "/" + codeText(eventID) + " to " + nameOf(target) +
           " returnID " + std::to_string(returnID) + " transactionID " + std::to_string(transactionID));
    if (createAppleEventStatus != noErr) {
      AEInitializeDesc(result);
      return createAppleEventStatus;
    }
    const OSErr err = AECreateAppleEvent(eventClass, eventID, target, returnID, transactionID, result);
    if (err == noErr) remember(result, "event");
    return err;
  }

  OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                       long timeOutInTicks) override {
    AEDesc copy;
    AEDuplicateDesc(event, &copy);
    const auto sent = ae::NSAppleEventDescriptor::adopt(&copy);
    sentReturnIDs.push_back(sent.returnID());
    if (reply) {
      // As the real call does: the reply is filled with an answer the caller must release.
      if (AECreateAppleEvent(kCoreEventClass, kAEAnswer, nullptr, sent.returnID(), kAnyTransactionID, reply) == noErr) {
        remember(reply, "reply");
      }
    }
    const auto address = sent.attributeDescriptorForKeyword(keyAddressAttr);
    record("send " + codeText(sent.eventClass()) + "/" + codeText(sent.eventID()) + " to " +
           codeText(address.descriptorType()) + " " + address.data().toStdString() + " transactionID " +
           std::to_string(sent.transactionID()) + " mode " + std::to_string(sendMode) + " timeout " +
           std::to_string(timeOutInTicks) + (reply ? " with reply record" : " no reply"));
    return sendStatus;
  }
  std::vector<AEReturnID> sentReturnIDs;

  OSErr disposeDesc(AEDesc* desc) override {
    const auto named = names_.find(desc);
    if (named != names_.end()) {
      record("dispose " + named->second);
      names_.erase(named);
      --liveDescriptors;
    } else {
      record("dispose unknown");
    }
    return AEDisposeDesc(desc);
  }

  void setEventHandlerForEventClassAndEventID(const void* handler, EventHandler selector, AEEventClass eventClass,
                                              AEEventID eventID) override {
    record("handle " + codeText(eventClass) + "/" + codeText(eventID));
    handlerObjects[{eventClass, eventID}] = handler;
    handlers_[{eventClass, eventID}] = std::move(selector);
  }
  std::map<std::pair<FourCharCode, FourCharCode>, const void*> handlerObjects;

  void addObserverSelectorNameObject(const void* observer, NotificationHandler selector, const QString& name,
                                     const void* object) override {
    record("observe " + name.toStdString() + (object ? " from one sender" : " from any sender"));
    observers_.push_back({observer, std::move(selector), name, object});
  }

  void removeObserver(const void* observer) override {
    std::erase_if(observers_, [observer](const Observer& o) { return o.observer == observer; });
  }

  void terminate(QObject* sender) override { record(sender ? "terminate sender" : "terminate"); }

  void performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector, QObject* object,
                                           double delaySeconds) override {
    record("performAfterDelay");
    delays.push_back(delaySeconds);
    delayed_.emplace_back(std::move(selector), object);
  }

  std::optional<QString> absolutePathForAppBundleWithIdentifier(const QString& bundleIdentifier) override {
    record("locate " + bundleIdentifier.toStdString());
    return mailPath;
  }

  QStringList searchPathForDirectoriesInDomains(foundation::NSSearchPathDirectory directory,
                                                foundation::NSSearchPathDomainMask domainMask,
                                                bool expandTilde) override {
    record("searchPath " + std::to_string(directory) + " " + std::to_string(domainMask) +
           (expandTilde ? " expanded" : " unexpanded"));
    return libraryDirectories;
  }

  std::optional<QString> bundlePathForClass(const void* addressInClass) override {
    record(addressInClass ? "bundleForClass" : "bundleForClass null");
    return ownBundlePath;
  }

  std::optional<foundation::NSBundle> bundleWithPath(const QString& path) override {
    record("bundleWithPath " + path.toStdString());
    return foundation::NSBundle::bundleWithPath(path);
  }

  Updater* updaterForBundle(const foundation::NSBundle& bundle) override {
    record("updaterForBundle " + bundle.bundlePath().toStdString());
    return updaterAvailable ? &updater : nullptr;
  }

  void log(const QString& format) override { logLines.push_back(foundation::stringWithFormat(format)); }
  void log(const QString& format, const QString& argument) override {
    logLines.push_back(foundation::stringWithFormat(format, argument));
  }

  static std::string codeText(FourCharCode code) { return fourCharCodeString(code).toStdString(); }

 private:
  struct Observer {
    const void* observer;
    NotificationHandler selector;
    QString name;
    const void* object;
  };

  void remember(const AEDesc* desc, std::string name) {
    names_[desc] = std::move(name);
    ++liveDescriptors;
  }
  std::string nameOf(const AEDesc* desc) const {
    const auto named = names_.find(desc);
    return named == names_.end() ? "unknown" : named->second;
  }

  std::map<const AEDesc*, std::string> names_;
  std::map<std::pair<FourCharCode, FourCharCode>, EventHandler> handlers_;
  std::vector<Observer> observers_;
  std::vector<std::pair<std::function<void(QObject*)>, QObject*>> delayed_;
};
