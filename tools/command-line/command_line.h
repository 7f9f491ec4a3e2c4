// The conventions of every command-line tool of the project:
//   --help     the tool's help text on standard output, exit status 0
//   --version  "<tool> (Quillane) <version>" on standard output, exit status 0
//   problems   "<tool>: <message>" on standard error
//   exit       0 success, 1 failure, 2 usage error
// The help text is also the source of the tool's manual page (generated from --help and
// --version at build time), so the two never drift apart.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace command_line {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Tool {
  std::string_view name;
  std::string_view help;      // the whole --help text, ending in a newline
  std::string_view synopsis;  // the usage lines repeated after a usage error
};

// "<tool> (Quillane) <version>", without a newline.
std::string versionLine(std::string_view tool);

// When an argument before a lone "--" is exactly --help or --version, prints the answer on
// standard output and returns the exit status (1 if standard output could not take it).
// Otherwise returns nothing and the tool goes on with its own parsing.
std::optional<int> answerHelpOrVersion(const Tool& tool, int argc, char* const argv[]);

// Writes "<tool>: <message>" on standard error.
void reportProblem(std::string_view tool, std::string_view message);

// Reports a usage problem, repeats the synopsis and where to find help; returns kExitUsage.
int usageError(const Tool& tool, std::string_view message);

}  // namespace command_line
