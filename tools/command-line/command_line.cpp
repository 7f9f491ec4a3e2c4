#include "command_line.h"

#include <cstdio>

namespace command_line {
namespace {

bool writeAll(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

}  // namespace

std::string versionLine(std::string_view tool) {
  return std::string(tool) + " (Quillane) " QUILLANE_VERSION;
}

std::optional<int> answerHelpOrVersion(const Tool& tool, int argc, char* const argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") break;
    std::string answer;
    if (argument == "--help") {
      answer = tool.help;
    } else if (argument == "--version") {
      answer = versionLine(tool.name) + "\n";
    } else {
      continue;
    }
    // A full disk or a closed pipe is a failure, not a silent success.
    const bool written = writeAll(stdout, answer) && std::fflush(stdout) == 0;
    return written ? kExitSuccess : kExitFailure;
  }
  return std::nullopt;
}

void reportProblem(std::string_view tool, std::string_view message) {
  std::string line(tool);
  line.append(": ").append(message).append("\n");
  writeAll(stderr, line);
}

int usageError(const Tool& tool, std::string_view message) {
  reportProblem(tool.name, message);
  std::string rest(tool.synopsis);
  rest.append("Try '").append(tool.name).append(" --help' for more information.\n");
  writeAll(stderr, rest);
  return kExitUsage;
}

}  // namespace command_line
