#pragma once

#include <QString>

namespace foundation {

// The error domain of failures that carry an errno value as their code.
inline const QString NSPOSIXErrorDomain = QStringLiteral("NSPOSIXErrorDomain");

// Describes why an operation failed. A default-constructed NSError means "no error".
class NSError {
 public:
  NSError() = default;
  NSError(QString domain, int code, QString localizedDescription);

  // An error with domain NSPOSIXErrorDomain and the errno value as its code.
  static NSError posixError(int errnoValue, QString localizedDescription);

  bool isError() const { return !domain_.isEmpty(); }
  explicit operator bool() const { return isError(); }

  QString domain() const { return domain_; }
  int code() const { return code_; }
  // A sentence for people: what failed, on which item, and why.
  QString localizedDescription() const { return description_; }

 private:
  QString domain_;
  int code_ = 0;
  QString description_;
};

}  // namespace foundation
