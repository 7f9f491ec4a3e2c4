// Bundle identifiers as session-bus names.
//
// An identifier that is already a valid bus name without "_" is used as it is
// ("com.apple.mail"). Otherwise, byte by byte: letters, "-", and digits that do not start an
// element stay; a "." stays where it separates two non-empty elements; every other byte,
// "_" included, becomes "_" and two lowercase hex digits ("com.1st" -> "com._31st",
// "a..b" -> "a_2e.b"). A result with a single element gets the prefix "_." ("Mail" ->
// "_.Mail"). The rule is one-to-one; the empty identifier and identifiers whose name would
// exceed 255 characters have no bus name.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace ae {

std::optional<QString> busNameForBundleIdentifier(const QByteArray& identifierUtf8);

// The inverse: nothing for names the rule above never produces.
std::optional<QByteArray> bundleIdentifierForBusName(const QString& busName);

}  // namespace ae
