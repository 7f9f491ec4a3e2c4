#include "ae/AppleEventObjects.h"
#include "ae/event_record.h"

#include <QtEndian>

#include <utility>

namespace ae {

NSAppleEventDescriptor::NSAppleEventDescriptor() { AEInitializeDesc(&desc_); }

NSAppleEventDescriptor::~NSAppleEventDescriptor() { AEDisposeDesc(&desc_); }

NSAppleEventDescriptor::NSAppleEventDescriptor(const NSAppleEventDescriptor& other) {
  AEDuplicateDesc(&other.desc_, &desc_);
}

NSAppleEventDescriptor& NSAppleEventDescriptor::operator=(const NSAppleEventDescriptor& other) {
  if (this != &other) {
    AEDesc copy;
    AEDuplicateDesc(&other.desc_, &copy);
    AEDisposeDesc(&desc_);
    desc_ = copy;
  }
  return *this;
}

NSAppleEventDescriptor::NSAppleEventDescriptor(NSAppleEventDescriptor&& other) noexcept : desc_(other.desc_) {
  AEInitializeDesc(&other.desc_);
}

NSAppleEventDescriptor& NSAppleEventDescriptor::operator=(NSAppleEventDescriptor&& other) noexcept {
  if (this != &other) {
    AEDisposeDesc(&desc_);
    desc_ = std::exchange(other.desc_, AEDesc{typeNull, nullptr});
  }
  return *this;
}

NSAppleEventDescriptor NSAppleEventDescriptor::adopt(AEDesc* desc) {
  NSAppleEventDescriptor result;
  if (desc) {
    result.desc_ = *desc;
    AEInitializeDesc(desc);
  }
  return result;
}

NSAppleEventDescriptor NSAppleEventDescriptor::nullDescriptor() { return {}; }

NSAppleEventDescriptor NSAppleEventDescriptor::initWithDescriptorTypeData(DescType type, const QByteArray& data) {
  NSAppleEventDescriptor result;
  AECreateDesc(type, data.constData(), data.size(), &result.desc_);
  return result;
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithInt32(std::int32_t value) {
  return initWithDescriptorTypeData(typeSInt32, QByteArray(reinterpret_cast<const char*>(&value), sizeof value));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithBoolean(bool value) {
  const char byte = value ? 1 : 0;
  return initWithDescriptorTypeData(typeBoolean, QByteArray(&byte, 1));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithTypeCode(OSType code) {
  return initWithDescriptorTypeData(typeType, QByteArray(reinterpret_cast<const char*>(&code), sizeof code));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithString(const QString& text) {
  return initWithDescriptorTypeData(typeUTF8Text, text.toUtf8());
}

NSAppleEventDescriptor NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
    AEEventClass eventClass, AEEventID eventID, const NSAppleEventDescriptor& target, AEReturnID returnID,
    AETransactionID transactionID) {
  NSAppleEventDescriptor result;
  AECreateAppleEvent(eventClass, eventID, target.aeDesc(), returnID, transactionID, &result.desc_);
  return result;
}

QByteArray NSAppleEventDescriptor::data() const {
  if (!desc_.dataHandle || desc_.dataHandle->event) return {};
  return desc_.dataHandle->bytes;
}

// Numbers are kept in this machine's byte order, as the platform keeps them in memory.
std::int32_t NSAppleEventDescriptor::int32Value() const {
  const QByteArray bytes = data();
  if (desc_.descriptorType == typeSInt32 && bytes.size() == 4) return qFromUnaligned<std::int32_t>(bytes.constData());
  if (desc_.descriptorType == typeSInt16 && bytes.size() == 2) return qFromUnaligned<std::int16_t>(bytes.constData());
  return 0;
}

bool NSAppleEventDescriptor::booleanValue() const {
  if (desc_.descriptorType == typeTrue) return true;
  if (desc_.descriptorType != typeBoolean) return false;
  const QByteArray bytes = data();
  return bytes.size() == 1 && bytes[0] != 0;
}

OSType NSAppleEventDescriptor::typeCodeValue() const {
  const QByteArray bytes = data();
  if ((desc_.descriptorType == typeType || desc_.descriptorType == typeEnumerated) && bytes.size() == 4) {
    return qFromUnaligned<OSType>(bytes.constData());
  }
  return 0;
}

QString NSAppleEventDescriptor::stringValue() const {
  return desc_.descriptorType == typeUTF8Text ? QString::fromUtf8(data()) : QString();
}

AEEventClass NSAppleEventDescriptor::eventClass() const {
  const EventRecord* event = eventRecord(&desc_);
  return event ? event->eventClass : 0;
}

AEEventID NSAppleEventDescriptor::eventID() const {
  const EventRecord* event = eventRecord(&desc_);
  return event ? event->eventID : 0;
}

AEReturnID NSAppleEventDescriptor::returnID() const {
  const EventRecord* event = eventRecord(&desc_);
  return event ? event->returnID : 0;
}

AETransactionID NSAppleEventDescriptor::transactionID() const {
  const EventRecord* event = eventRecord(&desc_);
  return event ? event->transactionID : 0;
}

NSAppleEventDescriptor NSAppleEventDescriptor::attributeDescriptorForKeyword(AEKeyword keyword) const {
  const EventRecord* event = eventRecord(&desc_);
  if (!event) return {};
  switch (keyword) {
    case keyAddressAttr:
      return event->addressType == typeNull ? NSAppleEventDescriptor()
                                            : initWithDescriptorTypeData(event->addressType, event->address);
    case keyEventClassAttr:
      return descriptorWithTypeCode(event->eventClass);
    case keyEventIDAttr:
      return descriptorWithTypeCode(event->eventID);
    case keyReturnIDAttr: {
      const std::int16_t id = event->returnID;
      return initWithDescriptorTypeData(typeSInt16, QByteArray(reinterpret_cast<const char*>(&id), sizeof id));
    }
    case keyTransactionIDAttr:
      return descriptorWithInt32(event->transactionID);
    case keyReplyRequestedAttr:
      return descriptorWithBoolean(event->replyRequested);
    default:
      return {};
  }
}

NSAppleEventDescriptor NSAppleEventDescriptor::paramDescriptorForKeyword(AEKeyword keyword) const {
  NSAppleEventDescriptor result;
  AEGetParamDesc(&desc_, keyword, typeWildCard, &result.desc_);
  return result;
}

bool NSAppleEventDescriptor::setParamDescriptorForKeyword(const NSAppleEventDescriptor& value, AEKeyword keyword) {
  return AEPutParamDesc(&desc_, keyword, value.aeDesc()) == noErr;
}

}  // namespace ae
