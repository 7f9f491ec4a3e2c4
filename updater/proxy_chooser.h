// Which proxy a fetch goes through, chosen from the environment the way curl chooses:
// http_proxy for http addresses, https_proxy for https ones (each also in upper case, the lower
// case winning), none for what no_proxy lists ("*" for everything, else comma-separated names,
// each matching itself and its subdomains, or literal addresses), and never one for this
// machine (localhost, 127.0.0.0/8, ::1). A proxy without a scheme is an http one; https is
// reached through it with CONNECT, so the proxy sees the host name, not the traffic.
//
// The address policy (url_policy.h) still judges the address asked for, never the proxy.
#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>
#include <QUrl>

namespace updater {

struct ProxyEnvironment {
  QString httpProxy;
  QString httpsProxy;
  QString noProxy;
  // From this process's environment variables.
  static ProxyEnvironment fromProcess();
};

// True when no_proxy's `list` says `host` goes direct.
bool bypassesProxy(const QString& host, const QString& list);

// The proxy for `url`; QNetworkProxy::NoProxy to go direct.
QNetworkProxy proxyFor(const QUrl& url, const ProxyEnvironment& environment);

// For QNetworkAccessManager::setProxyFactory(): every request asks proxyFor().
class EnvironmentProxyFactory : public QNetworkProxyFactory {
 public:
  explicit EnvironmentProxyFactory(ProxyEnvironment environment = ProxyEnvironment::fromProcess())
      : environment_(std::move(environment)) {}
  QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

 private:
  ProxyEnvironment environment_;
};

}  // namespace updater
