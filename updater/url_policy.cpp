#include "updater/url_policy.h"

#include <QHostAddress>

namespace updater {

namespace {

void say(QString* why, const QString& text) {
  if (why) *why = text;
}

}  // namespace

bool isLoopbackHost(const QString& host) {
  if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
  QHostAddress address;
  // QUrl keeps IPv6 literals without brackets in host(); accept both spellings.
  QString literal = host;
  if (literal.startsWith(u'[') && literal.endsWith(u']')) literal = literal.mid(1, literal.size() - 2);
  return address.setAddress(literal) && address.isLoopback();
}

bool isAllowedSourceUrl(const QUrl& url, QString* why) {
  if (!url.isValid()) {
    say(why, QStringLiteral("not a valid address: %1").arg(url.toString()));
    return false;
  }
  const QString scheme = url.scheme().toLower();
  if (scheme == QLatin1String("https")) {
    if (url.host().isEmpty()) {
      say(why, QStringLiteral("https address without a host: %1").arg(url.toString()));
      return false;
    }
    return true;
  }
  if (scheme == QLatin1String("file")) {
    if (!url.host().isEmpty() && !isLoopbackHost(url.host())) {
      say(why, QStringLiteral("file address on another host: %1").arg(url.toString()));
      return false;
    }
    return true;
  }
  if (scheme == QLatin1String("http")) {
    if (isLoopbackHost(url.host())) return true;
    say(why, QStringLiteral("plain http is only used for this machine, not for %1").arg(url.host()));
    return false;
  }
  say(why, QStringLiteral("unsupported address scheme \"%1\"").arg(url.scheme()));
  return false;
}

bool isAllowedRedirect(const QUrl& from, const QUrl& to, QString* why) {
  const QString fromScheme = from.scheme().toLower();
  const QString toScheme = to.scheme().toLower();
  if (toScheme == QLatin1String("file")) {
    say(why, QStringLiteral("redirect to a local file refused: %1").arg(to.toString()));
    return false;
  }
  if (fromScheme == QLatin1String("https") && toScheme != QLatin1String("https")) {
    say(why, QStringLiteral("redirect from https to %1 refused: %2").arg(toScheme, to.toString()));
    return false;
  }
  return isAllowedSourceUrl(to, why);
}

bool isAllowedLink(const QUrl& document, const QUrl& target, QString* why) {
  if (document.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0)
    return isAllowedSourceUrl(target, why);
  if (target.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0) {
    say(why, QStringLiteral("a feed from the network names a local file: %1").arg(target.toString()));
    return false;
  }
  return isAllowedRedirect(document, target, why);
}

}  // namespace updater
