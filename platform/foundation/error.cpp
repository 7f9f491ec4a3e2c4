#include "foundation/error.h"

namespace foundation {

NSError::NSError(QString domain, int code, QString localizedDescription)
    : domain_(std::move(domain)), code_(code), description_(std::move(localizedDescription)) {}

NSError NSError::posixError(int errnoValue, QString localizedDescription) {
  return NSError(NSPOSIXErrorDomain, errnoValue, std::move(localizedDescription));
}

}  // namespace foundation
