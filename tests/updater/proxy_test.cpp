// Proxies as the environment names them: the choice for each address, and a whole check of an
// https feed through a loopback proxy that is asked to CONNECT.
#include "run_harness.h"
#include "test_support.h"
#include "update_fixture.h"

#include "updater/proxy_chooser.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>

namespace {

using updater::ProxyEnvironment;

QString proxyOf(const QString& url, const ProxyEnvironment& environment) {
  const QNetworkProxy proxy = updater::proxyFor(QUrl(url), environment);
  if (proxy.type() == QNetworkProxy::NoProxy) return QStringLiteral("direct");
  return QStringLiteral("%1 %2:%3").arg(proxy.type() == QNetworkProxy::HttpProxy ? "http" : "socks").arg(proxy.hostName()).arg(proxy.port());
}

TEST(ProxyChoice, FollowsTheEnvironmentAsCurlDoes) {
  const ProxyEnvironment env{QStringLiteral("plain.proxy:3128"), QStringLiteral("http://secure.proxy:8080"),
                             QStringLiteral("example.org, .internal.test,10.1.2.3")};
  EXPECT_EQ(proxyOf(QStringLiteral("https://updates.quillane.test/a"), env), QStringLiteral("http secure.proxy:8080"));
  EXPECT_EQ(proxyOf(QStringLiteral("http://updates.quillane.test/a"), env), QStringLiteral("http plain.proxy:3128"));
  // no_proxy: a name, its subdomains (with or without the leading dot), literal addresses.
  EXPECT_EQ(proxyOf(QStringLiteral("https://example.org/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://cdn.example.org/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://notexample.org/a"), env), QStringLiteral("http secure.proxy:8080"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://internal.test/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://a.b.internal.test/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://10.1.2.3/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://10.1.2.30/a"), env), QStringLiteral("http secure.proxy:8080"));
  // This machine goes direct; local files never use a proxy.
  EXPECT_EQ(proxyOf(QStringLiteral("http://127.0.0.1:8000/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://localhost/a"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("file:///tmp/feed.xml"), env), QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://a.test/"), ProxyEnvironment{{}, QStringLiteral("socks5h://s:1081"), QStringLiteral("*")}),
            QStringLiteral("direct"));
  EXPECT_EQ(proxyOf(QStringLiteral("https://a.test/"), ProxyEnvironment{{}, QStringLiteral("socks5h://s:1081"), {}}),
            QStringLiteral("socks s:1081"));

  qputenv("https_proxy", "lower:1");
  qputenv("HTTPS_PROXY", "upper:2");
  qputenv("HTTP_PROXY", "upper:3");
  qunsetenv("http_proxy");
  const ProxyEnvironment fromProcess = ProxyEnvironment::fromProcess();
  EXPECT_EQ(fromProcess.httpsProxy, QStringLiteral("lower:1"));
  EXPECT_EQ(fromProcess.httpProxy, QStringLiteral("upper:3"));
  qunsetenv("https_proxy");
  qunsetenv("HTTPS_PROXY");
  qunsetenv("HTTP_PROXY");
}

// A proxy that answers CONNECT itself: it records the target, then speaks TLS as that host and
// serves one document.
class ConnectProxy : public QTcpServer {
 public:
  ConnectProxy(QSslCertificate certificate, QSslKey key, QByteArray body)
      : certificate_(std::move(certificate)), key_(std::move(key)), body_(std::move(body)) {
    listen(QHostAddress::LocalHost, 0);
  }
  QStringList connects;

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
      buffer->append(socket->readAll());
      if (!buffer->contains("\r\n\r\n")) return;
      const QByteArray request = *buffer;
      buffer->clear();
      if (!socket->isEncrypted() && request.startsWith("CONNECT ")) {
        connects << QString::fromLatin1(request.split(' ').value(1));
        socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        socket->setLocalCertificate(certificate_);
        socket->setPrivateKey(key_);
        socket->startServerEncryption();
        return;
      }
      socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body_.size()) +
                    "\r\nConnection: close\r\n\r\n" + body_);
      socket->disconnectFromHost();
    });
  }

 private:
  QSslCertificate certificate_;
  QSslKey key_;
  QByteArray body_;
};

TEST(ProxyRun, AnHttpsFeedIsFetchedThroughTheProxyWithConnect) {
  UpdateFixture fixture;
  const QString cert = fixture.workDir() + QStringLiteral("/cert.pem");
  const QString key = fixture.workDir() + QStringLiteral("/key.pem");
  ASSERT_EQ(QProcess::execute(QStringLiteral("openssl"),
                              {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                               QStringLiteral("-nodes"), QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
                               QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=updates.quillane.test"),
                               QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:updates.quillane.test")}),
            0);
  QFile certFile(cert);
  QFile keyFile(key);
  ASSERT_TRUE(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
  const QSslCertificate certificate(&certFile);
  QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
  trusted.addCaCertificate(certificate);
  QSslConfiguration::setDefaultConfiguration(trusted);

  BundleSpec installed;
  installed.feedURL = QStringLiteral("https://updates.quillane.test/appcast.xml");
  fixture.install(installed);
  fixture.publish(fixture.buildArchive(QStringLiteral("Quillane-1.0.tar.gz"), BundleSpec()));
  QFile feed(fixture.feedPath());
  ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
  ConnectProxy proxy(certificate, QSslKey(&keyFile, QSsl::Rsa), feed.readAll());
  qputenv("https_proxy", QByteArray("http://127.0.0.1:") + QByteArray::number(proxy.serverPort()));

  RecordingDelegate delegate;
  updater::SUUpdater* updater = updaterAt(fixture.pluginPath());
  ASSERT_NE(updater, nullptr);
  updater->setDelegate(&delegate);
  FinishedCounter finished(updater);
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 30000));
  EXPECT_EQ(proxy.connects, QStringList({QStringLiteral("updates.quillane.test:443")}));
  EXPECT_EQ(delegate.calls, QStringList({QStringLiteral("didNotFind")})) << "the feed came through the tunnel";

  qputenv("no_proxy", "quillane.test");  // its subdomain goes direct now (and finds no such host)
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return finished.count() > 1; }, 30000));
  EXPECT_EQ(proxy.connects.size(), 1);
  qunsetenv("no_proxy");
  qunsetenv("https_proxy");
  updater->setDelegate(nullptr);
}

}  // namespace
