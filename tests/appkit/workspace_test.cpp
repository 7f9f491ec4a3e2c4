#include "appkit/workspace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

using appkit::NSWorkspace;
namespace fs = std::filesystem;

namespace {

// Desktop entries are indexed once per process, so every entry the tests use is written
// before the first lookup (see main).
std::string dataHome, systemData, markerFile;

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& exec, const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
}

void writeEntries() {
  const char* home = std::getenv("HOME");
  const std::string sandbox = home && *home ? home : "/tmp";
  dataHome = sandbox + "/.local/share";
  systemData = sandbox + "/system-data";
  markerFile = sandbox + "/launched.marker";
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  setenv("XDG_DATA_DIRS", systemData.c_str(), 1);

  const std::string script = sandbox + "/bin/mail standin.sh";
  writeText(script, "#!/bin/sh\nprintf '%s\\n' \"launched $#\" > '" + markerFile + "'\n");
  chmod(script.c_str(), 0755);

  writeText(dataHome + "/applications/com.example.Mail.desktop", entry("Mail", "\"" + script + "\""));
  writeText(systemData + "/applications/com.example.Mail.desktop", entry("Shadowed", "false"));
  writeText(systemData + "/applications/org.example.SystemOnly.desktop", entry("System", "true"));
  writeText(dataHome + "/applications/org.example.Hidden.desktop", entry("Hidden", "true", "Hidden=true\n"));
  writeText(dataHome + "/applications/org.example.Broken.desktop", "this is not a desktop entry\n");
  writeText(dataHome + "/org.example.Outside.desktop", entry("Outside", "true"));
}

}  // namespace

TEST(Workspace, FindsTheDesktopEntryOfAnIdentifierThroughTheDataFolders) {
  NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
  EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier(QStringLiteral("com.example.Mail")),
            QString::fromStdString(dataHome + "/applications/com.example.Mail.desktop"))
      << "the user's entry comes before the system's";
  EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier(QStringLiteral("org.example.SystemOnly")),
            QString::fromStdString(systemData + "/applications/org.example.SystemOnly.desktop"));

  for (const char* absent : {"org.example.Missing", "org.example.Hidden", "org.example.Broken", "",
                             "../org.example.Outside", "/org.example.Outside", "com.example.Mail.desktop"}) {
    EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier(QString::fromUtf8(absent)), std::nullopt) << absent;
  }
}

TEST(Workspace, LaunchingAnEntryStartsItsProgram) {
  NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
  const auto path = workspace.absolutePathForAppBundleWithIdentifier(QStringLiteral("com.example.Mail"));
  ASSERT_TRUE(path.has_value());
  ASSERT_TRUE(workspace.launchApplicationAtPath(*path));

  std::string contents;
  for (int i = 0; i < 200 && contents.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(markerFile);
    std::getline(in, contents);
  }
  EXPECT_EQ(contents, "launched 0");
}

TEST(Workspace, LaunchRefusesWhatIsNotADesktopEntry) {
  NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
  EXPECT_FALSE(workspace.launchApplicationAtPath(QString::fromStdString(dataHome + "/applications/org.example.Broken.desktop")));
  EXPECT_FALSE(workspace.launchApplicationAtPath(QString::fromStdString(dataHome + "/applications/none.desktop")));
  EXPECT_FALSE(workspace.launchApplicationAtPath(QStringLiteral("applications/com.example.Mail.desktop")));
  EXPECT_FALSE(workspace.launchApplicationAtPath(QString()));
}

int main(int argc, char** argv) {
  writeEntries();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
