#pragma once

#include <QStringList>

namespace foundation {

enum NSSearchPathDirectory { NSLibraryDirectory = 5 };
enum NSSearchPathDomainMask { NSUserDomainMask = 1 };

// The folders of the given kind in the given domains. For NSLibraryDirectory in
// NSUserDomainMask that is { $HOME/Library } (or { "~/Library" } without tilde expansion).
// The home directory is $HOME, or the account's entry in the user database when HOME is
// unset or empty; with neither, the list is empty. Other kinds or domains give an empty list.
QStringList NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                NSSearchPathDomainMask domainMask,
                                                bool expandTilde);

}  // namespace foundation
