#include "event_log.h"

#include <QList>

namespace {

QByteArray jsonString(const QString& text) {
  QByteArray out = "\"";
  const QList<uint> codePoints = text.toUcs4();
  for (const char32_t c : codePoints) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += QByteArray("\\u00") + QByteArray::number(static_cast<int>(c), 16).rightJustified(2, '0');
        } else {
          out += QString::fromUcs4(&c, 1).toUtf8();
        }
    }
  }
  return out + '"';
}

}  // namespace

QByteArray eventLogLine(const ae::NSAppleEventDescriptor& event) {
  const ae::NSAppleEventDescriptor address = event.attributeDescriptorForKeyword(keyAddressAttr);
  const bool replyWanted = event.attributeDescriptorForKeyword(keyReplyRequestedAttr).booleanValue();
  QByteArray line = "{";
  line += "\"class\":" + jsonString(fourCharCodeString(event.eventClass()));
  line += ",\"id\":" + jsonString(fourCharCodeString(event.eventID()));
  line += ",\"return_id\":" + QByteArray::number(event.returnID());
  line += ",\"transaction_id\":" + QByteArray::number(event.transactionID());
  line += ",\"address_type\":" + jsonString(fourCharCodeString(address.descriptorType()));
  line += ",\"address\":" + jsonString(QString::fromUtf8(address.data()));
  line += ",\"reply_wanted\":" + QByteArray(replyWanted ? "true" : "false");
  return line + "}\n";
}
