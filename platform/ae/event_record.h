// What an AEDesc's storage holds. Internal to the library and its tests.
#pragma once

#include "ae/AppleEvents.h"

#include <QByteArray>

#include <optional>
#include <vector>

namespace ae {

// One parameter of an event: always a plain descriptor (type and bytes).
struct EventParameter {
  AEKeyword keyword = 0;
  DescType type = typeNull;
  QByteArray data;

  bool operator==(const EventParameter&) const = default;
};

// The fields of an Apple event, every one of which travels to the target.
struct EventRecord {
  AEEventClass eventClass = 0;
  AEEventID eventID = 0;
  DescType addressType = typeNull;
  QByteArray address;
  AEReturnID returnID = 0;
  AETransactionID transactionID = 0;
  bool replyRequested = false;  // as the sender asked; known on the receiving side
  std::vector<EventParameter> parameters;

  const EventParameter* parameter(AEKeyword keyword) const;
  void setParameter(EventParameter parameter);  // replaces one of the same keyword
};

// Makes `record` the content of a new event descriptor. noErr or memFullErr.
OSErr makeEventDesc(EventRecord record, AppleEvent* result);

// The event inside `desc`, or nullptr when it is not an Apple event.
const EventRecord* eventRecord(const AEDesc* desc);
EventRecord* eventRecord(AEDesc* desc);

// A return ID for kAutoGenerateReturnID: 1..32767, cycling.
AEReturnID generateReturnID();

}  // namespace ae

struct OpaqueAEDataStorageType {
  QByteArray bytes;                      // a plain descriptor's data
  std::optional<ae::EventRecord> event;  // set for typeAppleEvent
};
