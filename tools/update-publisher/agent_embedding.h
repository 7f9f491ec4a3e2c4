// Makes a plain plug-in bundle updatable in one step: copies the update agent's application
// bundle into the plug-in's Contents/Resources/ and sets the Info.plist keys the updater reads.
#pragma once

#include "updater/core/result.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace publisher {

struct AgentEmbedding {
  QString pluginPath;                 // the .mailbundle directory
  QString agentBundlePath;            // the QuillaneUpdateAgent.app to copy
  std::optional<QString> feedURL;     // SUFeedURL; kept as it is when not given
  std::optional<QString> publicEDKey;  // SUPublicEDKey (base64); kept as it is when not given
  std::optional<QStringList> recoveryPublicKeys;  // QLRecoveryPublicEDKeys (base64 each); kept when not given
};

// Copies the agent into <plugin>/Contents/Resources/<agent's name>, replacing an older copy,
// and writes the keys into <plugin>/Contents/Info.plist in the format it was read in.
// Refused before anything changes: a plug-in that is not a ".mailbundle" directory, an
// Info.plist that does not read as a dictionary with CFBundleIdentifier and CFBundleVersion,
// an agent bundle without its program, a feed address that is not an absolute http, https or
// file URL, a public or recovery key that is not 32 bytes of base64, a recovery key equal to
// SUPublicEDKey (it would not survive the loss or leak of that key), or a result without SUFeedURL or
// SUPublicEDKey. A failed copy leaves the old agent in place. Blocks on the file system.
updater::Status embedAgent(const AgentEmbedding& embedding);

// The agent bundle this program was built or installed with: next to the program in a build
// folder, else in the publisher tools' private folder. Empty when neither exists.
QString defaultAgentBundle(const QString& programDirectory);

}  // namespace publisher
