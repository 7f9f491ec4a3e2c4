// The publisher's tool: keys, archive signatures, feed items and feed signatures.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace publisher {

// Runs one command line (arguments without the program name). Results go to out, problems to
// err. Returns the process exit status: 0 on success, 1 on failure, 2 on a usage error.
int runPublisher(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace publisher
