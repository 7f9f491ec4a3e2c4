#pragma once
// plutil: checks (-lint), converts (-convert xml1|binary1) and prints (-p) property lists.

#include <iosfwd>

#include "plist/value.h"

namespace plutil {

// Runs the command line; returns the exit status (0 success, 1 failure, 2 usage error).
int run(int argc, char* argv[]);

// Writes a readable rendering of value (nested, one entry per line, strings quoted with
// control characters escaped). Returns false, after writing what fits, when the value
// expands (through shared parts) beyond maxValues values.
bool print(std::ostream& out, const plist::Value& value, std::size_t maxValues);

}  // namespace plutil
