#include "updater/url_policy.h"

#include <gtest/gtest.h>

using updater::isAllowedRedirect;
using updater::isAllowedSourceUrl;

namespace {

bool allowed(const char* url) { return isAllowedSourceUrl(QUrl(QString::fromUtf8(url))); }
bool redirect(const char* from, const char* to) {
  return isAllowedRedirect(QUrl(QString::fromUtf8(from)), QUrl(QString::fromUtf8(to)));
}

}  // namespace

TEST(UrlPolicy, HttpsAndLocalFilesAnywherePlainHttpOnlyToThisMachine) {
  EXPECT_TRUE(allowed("https://updates.example.com/feed.xml"));
  EXPECT_TRUE(allowed("file:///srv/updates/feed.xml"));
  EXPECT_TRUE(allowed("http://127.0.0.1:8080/feed.xml"));
  EXPECT_TRUE(allowed("http://127.3.4.5/feed.xml"));
  EXPECT_TRUE(allowed("http://[::1]:8080/feed.xml"));
  EXPECT_TRUE(allowed("http://localhost/feed.xml"));
  EXPECT_TRUE(allowed("http://LocalHost/feed.xml"));

  EXPECT_FALSE(allowed("http://updates.example.com/feed.xml"));
  EXPECT_FALSE(allowed("http://10.0.0.1/feed.xml"));
  EXPECT_FALSE(allowed("http://localhost.example.com/feed.xml"));
  EXPECT_FALSE(allowed("http://127.0.0.1.example.com/feed.xml"));
  EXPECT_FALSE(allowed("ftp://updates.example.com/feed.xml"));
  EXPECT_FALSE(allowed("file://fileserver/share/feed.xml"));
  EXPECT_FALSE(allowed("https:///feed.xml"));
  EXPECT_FALSE(allowed(""));
  EXPECT_FALSE(allowed("feed.xml"));
}

TEST(UrlPolicy, RefusalsSayWhy) {
  QString why;
  EXPECT_FALSE(isAllowedSourceUrl(QUrl(QStringLiteral("http://updates.example.com/a")), &why));
  EXPECT_TRUE(why.contains(QLatin1String("updates.example.com"))) << why.toStdString();
  why.clear();
  EXPECT_FALSE(isAllowedRedirect(QUrl(QStringLiteral("https://a.example/x")),
                                 QUrl(QStringLiteral("http://127.0.0.1/x")), &why));
  EXPECT_TRUE(why.contains(QLatin1String("https"))) << why.toStdString();
}

TEST(UrlPolicy, RedirectsNeverWeakenTheTransportNorReachLocalFiles) {
  EXPECT_TRUE(redirect("https://a.example/feed", "https://cdn.example/feed"));
  EXPECT_TRUE(redirect("http://127.0.0.1/feed", "https://cdn.example/feed"));
  EXPECT_TRUE(redirect("http://127.0.0.1/feed", "http://localhost/feed"));

  // Even to this machine: https was asked for, https it stays.
  EXPECT_FALSE(redirect("https://a.example/feed", "http://127.0.0.1/feed"));
  EXPECT_FALSE(redirect("https://a.example/feed", "http://cdn.example/feed"));
  EXPECT_FALSE(redirect("http://127.0.0.1/feed", "http://cdn.example/feed"));
  EXPECT_FALSE(redirect("https://a.example/feed", "file:///etc/passwd"));
  EXPECT_FALSE(redirect("http://127.0.0.1/feed", "file:///etc/passwd"));
  EXPECT_FALSE(redirect("https://a.example/feed", "ftp://a.example/feed"));
}

TEST(UrlPolicy, ANetworkFeedCannotNameLocalFilesButALocalFeedCan) {
  auto link = [](const char* feed, const char* target) {
    return updater::isAllowedLink(QUrl(QString::fromUtf8(feed)), QUrl(QString::fromUtf8(target)));
  };
  EXPECT_TRUE(link("https://a.example/appcast.xml", "https://cdn.example/Quillane-1.1.zip"));
  EXPECT_TRUE(link("file:///srv/appcast.xml", "file:///srv/Quillane-1.1.zip"));
  EXPECT_TRUE(link("file:///srv/appcast.xml", "https://cdn.example/Quillane-1.1.zip"));

  EXPECT_FALSE(link("https://a.example/appcast.xml", "file:///home/user/.ssh/id_ed25519"));
  EXPECT_FALSE(link("http://127.0.0.1/appcast.xml", "file:///etc/passwd"));
  EXPECT_FALSE(link("https://a.example/appcast.xml", "http://127.0.0.1/Quillane-1.1.zip"));
  EXPECT_FALSE(link("file:///srv/appcast.xml", "http://cdn.example/Quillane-1.1.zip"));
}
