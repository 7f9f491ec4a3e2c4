#include "updater/proxy_chooser.h"

#include "updater/url_policy.h"

#include <QHostAddress>

namespace updater {

namespace {

QString variable(const char* lower, const char* upper) {
  const QString value = qEnvironmentVariable(lower);
  return value.isEmpty() ? qEnvironmentVariable(upper) : value;
}

}  // namespace

ProxyEnvironment ProxyEnvironment::fromProcess() {
  return {variable("http_proxy", "HTTP_PROXY"), variable("https_proxy", "HTTPS_PROXY"),
          variable("no_proxy", "NO_PROXY")};
}

bool bypassesProxy(const QString& host, const QString& list) {
  QString name = host.toLower();
  if (name.endsWith(u'.')) name.chop(1);
  for (QString entry : list.split(u',', Qt::SkipEmptyParts)) {
    entry = entry.trimmed().toLower();
    if (entry == u"*") return true;
    if (entry.startsWith(u'.')) entry.remove(0, 1);
    if (entry.endsWith(u'.')) entry.chop(1);
    if (entry.startsWith(u'[') && entry.endsWith(u']')) entry = entry.mid(1, entry.size() - 2);
    if (entry.isEmpty()) continue;
    if (name == entry) return true;
    // Names match their subdomains; addresses only themselves.
    if (QHostAddress(entry).isNull() && name.endsWith(u'.' + entry)) return true;
  }
  return false;
}

QNetworkProxy proxyFor(const QUrl& url, const ProxyEnvironment& environment) {
  const QString scheme = url.scheme().toLower();
  const QString setting = scheme == u"https" ? environment.httpsProxy
                          : scheme == u"http" ? environment.httpProxy
                                              : QString();
  if (setting.trimmed().isEmpty() || isLoopbackHost(url.host()) || bypassesProxy(url.host(), environment.noProxy))
    return QNetworkProxy(QNetworkProxy::NoProxy);
  QString text = setting.trimmed();
  if (!text.contains(QStringLiteral("://"))) text.prepend(QStringLiteral("http://"));
  const QUrl proxy(text);
  const QString kind = proxy.scheme().toLower();
  // Any other kind (an https proxy, which Qt cannot speak to) is tried as an http one: the fetch
  // fails rather than going around what the user set up.
  const QNetworkProxy::ProxyType type =
      kind == u"socks5" || kind == u"socks5h" ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy;
  return QNetworkProxy(type, proxy.host(), static_cast<quint16>(proxy.port(1080)), proxy.userName(), proxy.password());
}

QList<QNetworkProxy> EnvironmentProxyFactory::queryProxy(const QNetworkProxyQuery& query) {
  return {proxyFor(query.url(), environment_)};
}

}  // namespace updater
