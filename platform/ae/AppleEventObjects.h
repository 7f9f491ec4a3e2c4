// Object wrappers over the Apple Event Manager: a descriptor that owns its AEDesc, and the
// process's event manager, which receives events addressed to this application.
#pragma once

#include "ae/AppleEvents.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace ae {

// Owns one AEDesc and disposes of it on destruction. Copies are deep; a moved-from
// descriptor is null. A failed construction gives the null descriptor.
class NSAppleEventDescriptor {
 public:
  NSAppleEventDescriptor();  // the null descriptor
  ~NSAppleEventDescriptor();
  NSAppleEventDescriptor(const NSAppleEventDescriptor& other);
  NSAppleEventDescriptor& operator=(const NSAppleEventDescriptor& other);
  NSAppleEventDescriptor(NSAppleEventDescriptor&& other) noexcept;
  NSAppleEventDescriptor& operator=(NSAppleEventDescriptor&& other) noexcept;

  // Takes ownership of *desc and leaves it null.
  static NSAppleEventDescriptor adopt(AEDesc* desc);

  static NSAppleEventDescriptor nullDescriptor();
  static NSAppleEventDescriptor initWithDescriptorTypeData(DescType type, const QByteArray& data);
  static NSAppleEventDescriptor descriptorWithInt32(std::int32_t value);
  static NSAppleEventDescriptor descriptorWithBoolean(bool value);
  static NSAppleEventDescriptor descriptorWithTypeCode(OSType code);
  static NSAppleEventDescriptor descriptorWithString(const QString& text);  // UTF-8 text
  static NSAppleEventDescriptor appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      AEEventClass eventClass, AEEventID eventID, const NSAppleEventDescriptor& target,
      AEReturnID returnID, AETransactionID transactionID);

  const AEDesc* aeDesc() const { return &desc_; }
  DescType descriptorType() const { return desc_.descriptorType; }
  bool isNull() const { return desc_.descriptorType == typeNull; }
  QByteArray data() const;  // the bytes of a plain descriptor; empty for null and events

  // Values of plain descriptors; 0 / false / "" when the descriptor holds something else.
  std::int32_t int32Value() const;   // typeSInt32 or typeSInt16
  bool booleanValue() const;         // typeBoolean, typeTrue, typeFalse
  OSType typeCodeValue() const;      // typeType or typeEnumerated
  QString stringValue() const;       // typeUTF8Text

  // Of an Apple event; 0 for anything else.
  AEEventClass eventClass() const;
  AEEventID eventID() const;
  AEReturnID returnID() const;
  AETransactionID transactionID() const;

  // keyAddressAttr (the target), keyEventClassAttr, keyEventIDAttr, keyReturnIDAttr,
  // keyTransactionIDAttr, keyReplyRequestedAttr; the null descriptor for others.
  NSAppleEventDescriptor attributeDescriptorForKeyword(AEKeyword keyword) const;
  NSAppleEventDescriptor paramDescriptorForKeyword(AEKeyword keyword) const;  // null when absent
  // Returns false when this is not an event or the value is not a plain descriptor.
  bool setParamDescriptorForKeyword(const NSAppleEventDescriptor& value, AEKeyword keyword);

 private:
  AEDesc desc_;
};

// The process's Apple event manager. Handlers run on the application's main thread, one
// event at a time, with the event and a reply event whose parameters travel back to a
// waiting sender. A handler reports failure by putting an int32 keyErrorNumber parameter into
// the reply; that number is the sender's status. An event with no handler is answered with
// errAEEventNotHandled.
class NSAppleEventManager {
 public:
  using Handler = std::function<void(const NSAppleEventDescriptor& event, NSAppleEventDescriptor& reply)>;
  using SuspensionID = std::uint64_t;

  static NSAppleEventManager& sharedAppleEventManager();

  // Replaces any handler of that class and ID. typeWildCard as class or ID matches any;
  // an exact match wins over a wildcard ID, which wins over a wildcard class.
  // `handler` is the object the selector belongs to, kept only for identification.
  void setEventHandlerAndSelectorForEventClassAndEventID(const void* handler, Handler selector,
                                                         AEEventClass eventClass, AEEventID eventID);
  void removeEventHandlerForEventClassAndEventID(AEEventClass eventClass, AEEventID eventID);

  // Claims the session-bus name of `bundleIdentifier` so that events addressed to it arrive
  // here. Never replaces or queues behind another owner: portNameExistsErr when the name is
  // taken, connectionInvalid without a bus, paramErr for an identifier that has no bus name.
  // Needs a QCoreApplication. Claiming a name this process already owns is noErr.
  OSStatus registerApplication(const QString& bundleIdentifier);
  // Gives the name up again; events addressed to it are then answered procNotFound.
  OSStatus unregisterApplication(const QString& bundleIdentifier);

  // Inside a handler: keep the event open after the handler returns; the answer goes out
  // when resumeWithSuspensionID is called (never, if it is not). 0 outside a handler.
  SuspensionID suspendCurrentAppleEvent();
  // Sends the answer of a suspended event, with the reply as it is now. Unknown IDs are ignored.
  void resumeWithSuspensionID(SuspensionID id);
  // The reply of a suspended event, to fill in before resuming; nullptr for unknown IDs.
  NSAppleEventDescriptor* replyAppleEventForSuspensionID(SuspensionID id);

  // For a process that is about to end with handlers still on its stack: answers the events
  // whose handlers are running, with their replies as they are now, and returns once every
  // answer sent has left this process. Suspended events stay unanswered.
  void answerRunningEventsAndFlush();

  NSAppleEventManager(const NSAppleEventManager&) = delete;
  NSAppleEventManager& operator=(const NSAppleEventManager&) = delete;

  class Private;

 private:
  NSAppleEventManager();
  ~NSAppleEventManager();
  std::unique_ptr<Private> d_;
};

}  // namespace ae
