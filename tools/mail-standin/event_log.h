// The stand-in's log: one JSON object per received event, on a line of its own.
#pragma once

#include "ae/AppleEventObjects.h"

#include <QByteArray>

// {"class":"aevt","id":"quit","return_id":12,"transaction_id":0,"address_type":"bund",
//  "address":"com.apple.mail","reply_wanted":true} and a newline. Codes are written with
// fourCharCodeString; the address as its bytes read as UTF-8, control characters escaped.
QByteArray eventLogLine(const ae::NSAppleEventDescriptor& event);
