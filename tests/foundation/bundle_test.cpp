#include "foundation/bundle.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tree_fixture.h"

using foundation::NSBundle;
using namespace testing_tree;
namespace fs = std::filesystem;

extern char** environ;

namespace {

std::string selfPath;  // this test program, for running copies of it

std::string bundlePathOf(const std::optional<NSBundle>& bundle) {
  return bundle ? bundle->bundlePath().toStdString() : std::string("(none)");
}

const void* probeAddressIn(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  auto probe = reinterpret_cast<const void* (*)()>(dlsym(handle, "quillaneBundleProbeAddress"));
  return probe ? probe() : nullptr;  // left loaded: the address must stay valid for the test
}

// Runs program with "--print-bundles" and returns its output.
std::string runPrintingBundles(const std::string& program) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const char* argv[] = {program.c_str(), "--print-bundles", nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string output;
  char buffer[1024];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  if (spawned == 0) waitpid(child, nullptr, 0);
  return output;
}

void aFunctionOfThisProgram() {}

}  // namespace

TEST(BundleWithPath, OnlyAnAccessibleDirectoryIsABundle) {
  const std::string folder = fs::canonical(makeScratchDirectory("bundles")).string();
  makeSampleBundle(folder + "/Quillane.mailbundle");
  writeFile(folder + "/file.mdimporter", "x");
  makeSymlink(folder + "/Quillane.mailbundle", folder + "/Link.mailbundle");
  makeSymlink(folder, folder + "/LinkedFolder");

  EXPECT_EQ(bundlePathOf(NSBundle::bundleWithPath(QString::fromStdString(folder + "/Quillane.mailbundle"))),
            folder + "/Quillane.mailbundle");
  EXPECT_EQ(bundlePathOf(NSBundle::bundleWithPath(QString::fromStdString(folder + "//Quillane.mailbundle/"))),
            folder + "/Quillane.mailbundle");
  // A link in the folders above the bundle is an ordinary part of its path.
  EXPECT_EQ(bundlePathOf(NSBundle::bundleWithPath(QString::fromStdString(folder + "/LinkedFolder/Quillane.mailbundle"))),
            folder + "/LinkedFolder/Quillane.mailbundle");

  for (const char* name : {"/file.mdimporter", "/Absent.mailbundle", "/Link.mailbundle"})
    EXPECT_FALSE(NSBundle::bundleWithPath(QString::fromStdString(folder + name))) << name;
  EXPECT_FALSE(NSBundle::bundleWithPath(QString()));
}

TEST(BundleWithPath, RelativePathsBecomeAbsolute) {
  const std::string folder = fs::canonical(makeScratchDirectory("relative")).string();
  makeDirectories(folder + "/Quillane.mailbundle");
  const fs::path previous = fs::current_path();
  fs::current_path(folder);
  const auto bundle = NSBundle::bundleWithPath(QStringLiteral("Quillane.mailbundle"));
  fs::current_path(previous);
  EXPECT_EQ(bundlePathOf(bundle), folder + "/Quillane.mailbundle");
}

TEST(BundleWithPath, UnreadableDirectoryIsNoBundle) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root from opening a directory";
  const std::string folder = makeScratchDirectory("unreadable");
  makeDirectories(folder + "/Locked.mailbundle");
  fs::permissions(folder + "/Locked.mailbundle", fs::perms::none);
  EXPECT_FALSE(NSBundle::bundleWithPath(QString::fromStdString(folder + "/Locked.mailbundle")));
  fs::permissions(folder + "/Locked.mailbundle", fs::perms::owner_all);
}

TEST(BundleInfo, IdentifierComesFromContentsInfoPlist) {
  const std::string folder = makeScratchDirectory("info");
  const std::string header =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">";
  writeFile(folder + "/Good.mailbundle/Contents/Info.plist",
            header + "<dict><key>CFBundleIdentifier</key><string>com.example.quillane</string>"
                     "<key>CFBundleVersion</key><string>1.0</string></dict></plist>");
  writeFile(folder + "/NumberId.app/Contents/Info.plist",
            header + "<dict><key>CFBundleIdentifier</key><integer>7</integer></dict></plist>");
  writeFile(folder + "/Array.app/Contents/Info.plist", header + "<array><string>x</string></array></plist>");
  writeFile(folder + "/Corrupt.app/Contents/Info.plist", header + "<dict><key>CFBundleIdentifier</key>");
  makeDirectories(folder + "/Empty.app/Contents");

  const auto good = NSBundle::bundleWithPath(QString::fromStdString(folder + "/Good.mailbundle"));
  ASSERT_TRUE(good);
  const auto info = good->infoDictionary();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size(), 2u);
  EXPECT_EQ(good->bundleIdentifier(), QStringLiteral("com.example.quillane"));

  const auto numberId = NSBundle::bundleWithPath(QString::fromStdString(folder + "/NumberId.app"));
  ASSERT_TRUE(numberId);
  EXPECT_TRUE(numberId->infoDictionary());
  EXPECT_EQ(numberId->bundleIdentifier(), QString());
  for (const char* name : {"/Array.app", "/Corrupt.app", "/Empty.app"}) {
    const auto bundle = NSBundle::bundleWithPath(QString::fromStdString(folder + name));
    ASSERT_TRUE(bundle) << name;
    EXPECT_FALSE(bundle->infoDictionary()) << name;
    EXPECT_EQ(bundle->bundleIdentifier(), QString()) << name;
  }
}

TEST(BundleForClass, ModuleInsideAnApplicationBundleBelongsToIt) {
  const std::string folder = fs::canonical(makeScratchDirectory("modules")).string();
  const std::string probe = QUILLANE_BUNDLE_PROBE;
  makeDirectories(folder + "/Probe.app/Contents/MacOS");
  makeDirectories(folder + "/Plain");
  fs::copy_file(probe, folder + "/Probe.app/Contents/MacOS/Probe");
  fs::copy_file(probe, folder + "/Plain/libprobe.so");

  const void* inApp = probeAddressIn(folder + "/Probe.app/Contents/MacOS/Probe");
  const void* inPlain = probeAddressIn(folder + "/Plain/libprobe.so");
  ASSERT_NE(inApp, nullptr) << dlerror();
  ASSERT_NE(inPlain, nullptr) << dlerror();
  ASSERT_NE(inApp, inPlain);

  EXPECT_EQ(bundlePathOf(NSBundle::bundleForClass(inApp)), folder + "/Probe.app");
  EXPECT_EQ(bundlePathOf(NSBundle::bundleForClass(inPlain)), folder + "/Plain");
  int onTheStack = 0;
  EXPECT_FALSE(NSBundle::bundleForClass(&onTheStack));
}

TEST(BundleForClass, RunningProgramFindsTheApplicationBundleItWasCopiedInto) {
  // Where it runs from now: its own folder.
  const std::string here = fs::canonical(selfPath).parent_path().string();
  EXPECT_EQ(bundlePathOf(NSBundle::mainBundle()), here);
  EXPECT_EQ(bundlePathOf(NSBundle::bundleForClass(reinterpret_cast<const void*>(&aFunctionOfThisProgram))), here);

  // Copied into an application bundle, it reports that bundle, wherever the bundle was put.
  const std::string folder = fs::canonical(makeScratchDirectory("relocated")).string();
  const std::string app = folder + "/Quillane.mailbundle/Contents/Resources/Agent.app";
  makeDirectories(app + "/Contents/MacOS");
  fs::copy_file(selfPath, app + "/Contents/MacOS/Agent");
  EXPECT_EQ(runPrintingBundles(app + "/Contents/MacOS/Agent"), "main=" + app + "\nclass=" + app + "\n");

  // A folder that only looks partly like a bundle is not one.
  const std::string notApp = folder + "/Agent.bundle/Contents/MacOS";
  makeDirectories(notApp);
  fs::copy_file(selfPath, notApp + "/Agent");
  EXPECT_EQ(runPrintingBundles(notApp + "/Agent"), "main=" + notApp + "\nclass=" + notApp + "\n");
}

int main(int argc, char** argv) {
  selfPath = fs::read_symlink("/proc/self/exe").string();
  if (argc > 1 && std::strcmp(argv[1], "--print-bundles") == 0) {
    std::printf("main=%s\nclass=%s\n", bundlePathOf(NSBundle::mainBundle()).c_str(),
                bundlePathOf(NSBundle::bundleForClass(reinterpret_cast<const void*>(&aFunctionOfThisProgram))).c_str());
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
