#include "plutil.h"

#include <unistd.h>

#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "plist/file.h"
#include "plist/plist.h"

namespace plutil {

namespace {

constexpr std::size_t kMaxPrintedValues = std::size_t{1} << 24;

const command_line::Tool kTool{
    "plutil",
    "Usage: plutil -lint FILE...\n"
    "  or:  plutil -convert xml1|binary1 FILE... [-o OUT]\n"
    "  or:  plutil -p FILE\n"
    "Check, convert and print property lists, in the XML (xml1) or binary (binary1) format.\n"
    "FILE may be \"-\" for standard input; OUT may be \"-\" for standard output. Problems\n"
    "with a file name the file, and the line and column (XML) or byte (binary) they are at.\n"
    "\n"
    "Commands:\n"
    "  -lint FILE...        check that each FILE is a property list; print \"FILE: OK\"\n"
    "  -convert FORMAT FILE...\n"
    "                       rewrite each FILE in FORMAT, replacing it atomically; a FILE\n"
    "                       that cannot be read is left as it was\n"
    "  -o OUT               with -convert and one FILE, write to OUT instead\n"
    "  -p FILE              print FILE readably, one entry per line, in file order\n"
    "  --help               show this help and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every FILE was handled\n"
    "  1  a FILE could not be read, parsed or written\n"
    "  2  usage error\n",
    "usage: plutil -lint FILE...\n"
    "       plutil -convert xml1|binary1 FILE... [-o OUT]\n"
    "       plutil -p FILE\n"};

int usage(const std::string& problem) { return command_line::usageError(kTool, problem); }

// "plutil: <message>" on standard error.
void report(const std::string& message) { command_line::reportProblem(kTool.name, message); }

std::optional<std::string> readInput(const std::string& path, std::string& problem) {
  if (path == "-") {
    std::string content((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      problem = "cannot read standard input";
      return std::nullopt;
    }
    return content;
  }
  auto content = plist::readFile(path);
  if (!content) {
    problem = content.error().message;
    return std::nullopt;
  }
  return std::move(*content);
}

// "what (line L, column C, byte N)" for XML, "what (at byte N)" for binary.
std::string describe(const plist::Error& error, plist::Format format, std::string_view bytes) {
  if (format == plist::Format::Binary || error.offset > bytes.size()) return error.describe();
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < error.offset; ++i) {
    if (bytes[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return error.message + " (line " + std::to_string(line) + ", column " + std::to_string(column) + ", byte " +
         std::to_string(error.offset) + ")";
}

// Reads and parses path; on failure reports "path: problem" on stderr. The bytes read are
// handed back in *spent, whose memory a writer can reuse.
std::optional<plist::Value> load(const std::string& path, std::string* spent = nullptr) {
  std::string problem;
  std::optional<std::string> bytes = readInput(path, problem);
  if (!bytes) {
    report(problem);
    return std::nullopt;
  }
  plist::ReadResult value = plist::read(*bytes);
  if (!value) {
    report(path + ": " + describe(value.error(), value.format(), *bytes));
    return std::nullopt;
  }
  if (spent) *spent = std::move(*bytes);
  return std::move(*value);
}

// The process ends after the last file: the system takes back its memory at once, which is
// quicker than freeing a large domain value by value. Still reachable, so not a leak.
void keepUntilExit(plist::Value value) {
  static auto* kept = new plist::Value();
  *kept = std::move(value);
}

int lint(const std::vector<std::string>& files) {
  if (files.empty()) return usage("-lint needs at least one file");
  int status = 0;
  for (const std::string& path : files) {
    if (std::optional<plist::Value> value = load(path)) {
      std::cout << path << ": OK\n";
      if (&path == &files.back()) keepUntilExit(std::move(*value));
    } else {
      status = 1;
    }
  }
  return status;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

int convert(const std::string& formatName, const std::vector<std::string>& files, const std::optional<std::string>& out) {
  plist::Format format;
  if (formatName == "xml1") {
    format = plist::Format::Xml;
  } else if (formatName == "binary1") {
    format = plist::Format::Binary;
  } else {
    return usage("unknown format \"" + formatName + "\" (xml1 or binary1)");
  }
  if (files.empty()) return usage("-convert needs a file");
  if (out && files.size() != 1) return usage("-o takes one input file");

  int status = 0;
  for (const std::string& path : files) {
    std::string spent;
    std::optional<plist::Value> value = load(path, &spent);
    if (!value) {
      status = 1;
      continue;
    }
    auto bytes = plist::write(*value, format, std::move(spent));
    if (!bytes) {
      report(path + ": cannot write as " + plist::formatName(format) + ": " + bytes.error().message);
      status = 1;
      continue;
    }
    const std::string target = out ? *out : path;
    if (target == "-") {
      if (!writeAll(STDOUT_FILENO, *bytes)) {
        report(std::string("cannot write to standard output: ") + std::strerror(errno));
        status = 1;
      }
      continue;
    }
    auto written = plist::writeFileAtomically(target, *bytes);
    if (!written) {
      report(written.error().message);
      status = 1;
    }
    if (&path == &files.back()) keepUntilExit(std::move(*value));
  }
  return status;
}

int printFile(const std::vector<std::string>& files) {
  if (files.size() != 1) return usage("-p takes one file");
  std::optional<plist::Value> value = load(files[0]);
  if (!value) return 1;
  if (!print(std::cout, *value, kMaxPrintedValues)) {
    std::cout.flush();
    report(files[0] + ": too large to print (shared parts expand beyond " + std::to_string(kMaxPrintedValues) +
           " values)");
    return 1;
  }
  return std::cout.flush() ? 0 : 1;
}

}  // namespace

int run(int argc, char* argv[]) {
  if (const auto answered = command_line::answerHelpOrVersion(kTool, argc, argv)) return *answered;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage("no command given");
  const std::string command = args[0];
  if (command == "-help" || command == "-h") {
    std::cout << kTool.help;
    return std::cout.flush() ? command_line::kExitSuccess : command_line::kExitFailure;
  }

  std::vector<std::string> files;
  std::optional<std::string> out;
  std::string formatName;
  std::size_t i = 1;
  if (command == "-convert") {
    if (args.size() < 2) return usage("-convert needs a format");
    formatName = args[1];
    i = 2;
  }
  for (; i < args.size(); ++i) {
    if (args[i] == "-o" && command == "-convert") {
      if (i + 1 >= args.size()) return usage("-o needs a file name");
      out = args[++i];
    } else if (args[i] == "--") {
      files.insert(files.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return usage("unknown option " + args[i]);
    } else {
      files.push_back(args[i]);
    }
  }

  if (command == "-lint") return lint(files);
  if (command == "-convert") return convert(formatName, files, out);
  if (command == "-p") return printFile(files);
  return usage("unknown command " + command);
}

}  // namespace plutil
