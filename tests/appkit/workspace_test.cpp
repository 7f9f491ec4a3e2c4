#include "appkit/workspace.h"

#include <sys/stat.h>

#include <QProcess>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

using appkit::NSWorkspace;
namespace fs = std::filesystem;

namespace {

// Desktop entries are indexed once per process: main writes them all before the first lookup.
const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/tmp";
const std::string dataHome = home + "/.local/share", systemData = home + "/system-data";
const std::string marker = home + "/launched.marker";

void write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}
std::string entry(const std::string& exec, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=Test\nExec=" + exec + "\n" + extra;
}
std::optional<QString> lookup(const char* identifier) {
  return NSWorkspace::sharedWorkspace().absolutePathForAppBundleWithIdentifier(QString::fromUtf8(identifier));
}

}  // namespace

TEST(Workspace, FindsTheDesktopEntryOfAnIdentifierThroughTheDataFolders) {
  EXPECT_EQ(lookup("com.example.Mail"), QString::fromStdString(dataHome + "/applications/com.example.Mail.desktop"))
      << "the user's entry comes before the system's";
  EXPECT_EQ(lookup("org.example.SystemOnly"), QString::fromStdString(systemData + "/applications/org.example.SystemOnly.desktop"));
  for (const char* absent : {"org.example.Missing", "org.example.Hidden", "org.example.Broken", "",
                             "../org.example.Outside", "com.example.Mail.desktop"})
    EXPECT_EQ(lookup(absent), std::nullopt) << absent;
}

TEST(Workspace, LaunchingAnEntryStartsItsProgramAndRefusesAnythingElse) {
  NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
  ASSERT_TRUE(workspace.launchApplicationAtPath(lookup("com.example.Mail").value_or(QString())));
  std::string launched;
  for (int i = 0; i < 200 && launched.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::getline(std::ifstream(marker), launched);
  }
  EXPECT_EQ(launched, "launched with 0 arguments");

  for (const std::string& path : {dataHome + "/applications/org.example.Broken.desktop",
                                 dataHome + "/applications/none.desktop", std::string("applications/x.desktop"), std::string()})
    EXPECT_FALSE(workspace.launchApplicationAtPath(QString::fromStdString(path))) << path;
}

// GIO reads these files with a blocking open; a fifo among them must not hold the lookup.
// Each case runs in a fresh process, since GIO reads its folders once per process.
TEST(Workspace, AFifoWhereALookupReadsIsRefusedWithoutWaiting) {
  const std::string fifoHome = home + "/fifo-cases";
  const std::pair<std::string, std::string> cases[] = {
      {"XDG_DATA_HOME", "/applications/com.example.Fifo.desktop"},
      {"XDG_CONFIG_HOME", "/mimeapps.list"},
  };
  for (const auto& [variable, file] : cases) {
    SCOPED_TRACE(file);
    const std::string folder = fifoHome + "/" + variable;
    fs::create_directories(fs::path(folder + file).parent_path());
    ASSERT_EQ(::mkfifo((folder + file).c_str(), 0600), 0);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromStdString(variable), QString::fromStdString(folder));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("/proc/self/exe"), {QStringLiteral("--lookup"), QStringLiteral("com.example.Fifo")});
    const bool finished = child.waitForFinished(20000);
    if (!finished) child.kill();
    ASSERT_TRUE(finished) << "the lookup hung";
    EXPECT_EQ(child.readAllStandardOutput().toStdString(), "nothing");
    EXPECT_TRUE(child.readAllStandardError().contains("is not a regular file"));
  }
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--lookup") {
    const std::optional<QString> found = lookup(argv[2]);
    std::printf("%s", found ? found->toLocal8Bit().constData() : "nothing");
    return 0;
  }
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  setenv("XDG_DATA_DIRS", systemData.c_str(), 1);
  const std::string script = home + "/bin/mail standin.sh";
  write(script, "#!/bin/sh\necho \"launched with $# arguments\" > '" + marker + "'\n");
  chmod(script.c_str(), 0755);
  write(dataHome + "/applications/com.example.Mail.desktop", entry("\"" + script + "\""));
  write(systemData + "/applications/com.example.Mail.desktop", entry("false"));
  write(systemData + "/applications/org.example.SystemOnly.desktop", entry("true"));
  write(dataHome + "/applications/org.example.Hidden.desktop", entry("true", "Hidden=true\n"));
  write(dataHome + "/applications/org.example.Broken.desktop", "not a desktop entry\n");
  write(dataHome + "/org.example.Outside.desktop", entry("true"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
