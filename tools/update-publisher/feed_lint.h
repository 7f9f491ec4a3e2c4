// What each kind of check would offer one installation from a feed, and why: the publisher's
// view of channels, rollouts and announcements before the feed ships.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/item_selection.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace publisher {

// Problems of the feed that reach every installation, one sentence each: a phased item whose
// rollout cannot be applied (it would reach every group at once), unless it is critical for
// every installation and so never phased.
QStringList feedErrors(const updater::Appcast& feed);

// A report in plain text: the installation, then for a background check and for a check the
// user asked for, what is offered and each item's verdict in feed order, and any feed problems
// (feedErrors as "error:" lines at the end).
QString lintReport(const updater::Appcast& feed, const updater::Installation& installation, const QDateTime& now);

}  // namespace publisher
