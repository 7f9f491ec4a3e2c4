// Which addresses the updater fetches from, and which redirects it follows.
//
// Updates are executable code, so the rule is narrow: https anywhere, file URLs (a feed
// on a local or mounted volume), and plain http only to this machine, where nothing on
// the network can tamper with it (tests, local mirrors). A redirect never leaves https
// for anything weaker, and never leads to a local file.
#pragma once

#include <QString>
#include <QUrl>

namespace updater {

// True when `url` may be fetched at all. On false, `why` (if given) says what is wrong.
bool isAllowedSourceUrl(const QUrl& url, QString* why = nullptr);

// True when a response from `from` may send us on to `to`. On false, `why` says why.
bool isAllowedRedirect(const QUrl& from, const QUrl& to, QString* why = nullptr);

// True when a document fetched from `document` (a feed) may send us to `target` (an
// archive, release notes): the redirect rules, except that a local feed may name local files.
// A feed from the network can never make us read a file on this machine.
bool isAllowedLink(const QUrl& document, const QUrl& target, QString* why = nullptr);

// True for "localhost" and literal loopback addresses (127.0.0.0/8, ::1).
bool isLoopbackHost(const QString& host);

}  // namespace updater
