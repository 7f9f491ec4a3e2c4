// Descriptors and events in memory: creation, copies, parameters, disposal.
#include "ae/AppleEvents.h"
#include "ae/event_record.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include <unistd.h>

namespace ae {

const EventParameter* EventRecord::parameter(AEKeyword keyword) const {
  auto it = std::find_if(parameters.begin(), parameters.end(),
                         [keyword](const EventParameter& p) { return p.keyword == keyword; });
  return it == parameters.end() ? nullptr : &*it;
}

void EventRecord::setParameter(EventParameter value) {
  for (auto& p : parameters) {
    if (p.keyword == value.keyword) {
      p = std::move(value);
      return;
    }
  }
  parameters.push_back(std::move(value));
}

OSErr makeEventDesc(EventRecord record, AppleEvent* result) {
  AEInitializeDesc(result);
  try {
    auto* storage = new OpaqueAEDataStorageType;
    storage->event = std::move(record);
    result->descriptorType = typeAppleEvent;
    result->dataHandle = storage;
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

const EventRecord* eventRecord(const AEDesc* desc) {
  if (!desc || desc->descriptorType != typeAppleEvent || !desc->dataHandle ||
      !desc->dataHandle->event) {
    return nullptr;
  }
  return &*desc->dataHandle->event;
}

EventRecord* eventRecord(AEDesc* desc) {
  return const_cast<EventRecord*>(eventRecord(static_cast<const AEDesc*>(desc)));
}

AEReturnID generateReturnID() {
  // Seeded with the process ID so that two processes seldom hand out the same IDs.
  static std::atomic<std::uint32_t> counter{static_cast<std::uint32_t>(getpid())};
  return static_cast<AEReturnID>(counter.fetch_add(1, std::memory_order_relaxed) % 32767 + 1);
}

}  // namespace ae

using ae::EventRecord;

QString fourCharCodeString(FourCharCode code) {
  char chars[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    chars[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    printable = printable && chars[i] >= 0x20 && chars[i] <= 0x7E;
  }
  if (printable) return QString::fromLatin1(chars, 4);
  return QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

void AEInitializeDesc(AEDesc* desc) {
  if (!desc) return;
  desc->descriptorType = typeNull;
  desc->dataHandle = nullptr;
}

OSErr AECreateDesc(DescType type, const void* data, Size size, AEDesc* result) {
  if (!result) return paramErr;
  AEInitializeDesc(result);
  if (size < 0 || (size > 0 && !data)) return paramErr;
  if (type == typeNull) return noErr;
  // An event is made by AECreateAppleEvent, never from raw bytes.
  if (type == typeAppleEvent) return errAEWrongDataType;
  try {
    auto* storage = new OpaqueAEDataStorageType;
    if (size > 0) storage->bytes = QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(size));
    result->descriptorType = type;
    result->dataHandle = storage;
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

OSErr AEDisposeDesc(AEDesc* desc) {
  if (!desc) return paramErr;
  delete desc->dataHandle;
  AEInitializeDesc(desc);
  return noErr;
}

OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result) {
  if (!desc || !result) {
    AEInitializeDesc(result);
    return paramErr;
  }
  AEDesc copy;
  AEInitializeDesc(&copy);
  if (desc->dataHandle) {
    try {
      copy.dataHandle = new OpaqueAEDataStorageType(*desc->dataHandle);
    } catch (const std::bad_alloc&) {
      AEInitializeDesc(result);
      return memFullErr;
    }
  }
  copy.descriptorType = desc->descriptorType;
  *result = copy;
  return noErr;
}

Size AEGetDescDataSize(const AEDesc* desc) {
  if (!desc || !desc->dataHandle || desc->dataHandle->event) return 0;
  return static_cast<Size>(desc->dataHandle->bytes.size());
}

OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize) {
  if (!desc || maximumSize < 0 || (maximumSize > 0 && !dataPtr)) return paramErr;
  if (ae::eventRecord(desc)) return errAEWrongDataType;
  const Size available = AEGetDescDataSize(desc);
  const Size n = std::min(available, maximumSize);
  if (n > 0) std::memcpy(dataPtr, desc->dataHandle->bytes.constData(), static_cast<std::size_t>(n));
  return noErr;
}

OSErr AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID, AppleEvent* result) {
  if (!result) return paramErr;
  AEInitializeDesc(result);
  if (target && ae::eventRecord(target)) return errAEWrongDataType;
  try {
    EventRecord record;
    record.eventClass = eventClass;
    record.eventID = eventID;
    if (target && target->descriptorType != typeNull) {
      record.addressType = target->descriptorType;
      if (target->dataHandle) record.address = target->dataHandle->bytes;
    }
    record.returnID = returnID == kAutoGenerateReturnID ? ae::generateReturnID() : returnID;
    record.transactionID = transactionID;
    return ae::makeEventDesc(std::move(record), result);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc) {
  EventRecord* record = ae::eventRecord(event);
  if (!record) return errAENotAppleEvent;
  if (!desc) return paramErr;
  if (ae::eventRecord(desc)) return errAEWrongDataType;  // parameters are plain descriptors
  try {
    ae::EventParameter parameter{keyword, desc->descriptorType,
                                 desc->dataHandle ? desc->dataHandle->bytes : QByteArray()};
    record->setParameter(std::move(parameter));
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType, AEDesc* result) {
  if (!result) return paramErr;
  AEInitializeDesc(result);
  const EventRecord* record = ae::eventRecord(event);
  if (!record) return errAENotAppleEvent;
  const ae::EventParameter* parameter = record->parameter(keyword);
  if (!parameter) return errAEDescNotFound;
  // No coercions: the parameter is given as it is, or not at all.
  if (desiredType != typeWildCard && desiredType != parameter->type) return errAECoercionFail;
  return AECreateDesc(parameter->type, parameter->data.constData(), parameter->data.size(), result);
}
