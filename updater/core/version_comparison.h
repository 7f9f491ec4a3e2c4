// Ordering of version strings the way feed publishers expect it.
#pragma once

#include <QString>

namespace updater {

// Compares two version strings: negative when a is older than b, zero when they are the same
// version, positive when a is newer.
//
// Each version is split into runs of digits, runs of letters (and other characters), and single
// separators ("." and other punctuation or white space); anything from a "-" that is not the first
// character on is ignored. The shorter version's leading run of numbers and periods is padded with
// ".0" to the other's length, so "1.0" equals "1.0.0". Runs are compared in turn: numbers by value,
// letter runs by code point (case-sensitive), separators equal to each other; a number is newer than
// a separator, and anything is newer than a letter run. When every compared run is equal, the
// longer version is newer unless its next run is letters ("1.0" is newer than "1.0b").
//
// Pure and total: every pair of strings (empty ones included) gets an answer; never blocks.
int compareVersions(const QString& a, const QString& b);

}  // namespace updater
