#include "foundation/bundle.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include <QProcess>

#include <gtest/gtest.h>

#include "tree_fixture.h"

using foundation::NSBundle;
using namespace testing_tree;

namespace {

std::string pathOf(const std::optional<NSBundle>& bundle) {
  return bundle ? bundle->bundlePath().toStdString() : "(none)";
}
std::string bundleAt(const std::string& path) { return pathOf(NSBundle::bundleWithPath(QString::fromStdString(path))); }

void aFunctionOfThisProgram() {}

std::string printedBundles() {
  return "main=" + pathOf(NSBundle::mainBundle()) + " class=" +
         pathOf(NSBundle::bundleForClass(reinterpret_cast<const void*>(&aFunctionOfThisProgram)));
}

// Runs a copy of this program placed at path and returns the bundles it reports.
std::string bundlesReportedByCopyAt(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::copy_file("/proc/self/exe", path);
  QProcess copy;
  copy.start(QString::fromStdString(path), {QStringLiteral("--print-bundles")});
  copy.waitForFinished();
  return copy.readAllStandardOutput().toStdString();
}

}  // namespace

TEST(BundleWithPath, OnlyAnAccessibleDirectoryNotALinkIsABundle) {
  const std::string folder = makeScratchDirectory("bundles");
  makeSampleBundle(folder + "/Quillane.mailbundle");
  writeFile(folder + "/file.mdimporter", "x");
  makeSymlink(folder + "/Quillane.mailbundle", folder + "/Link.mailbundle");
  makeSymlink(folder, folder + "/LinkedFolder");

  EXPECT_EQ(bundleAt(folder + "//Quillane.mailbundle/"), folder + "/Quillane.mailbundle");
  // A link among the folders above is an ordinary part of the path; only the item itself is not followed.
  EXPECT_EQ(bundleAt(folder + "/LinkedFolder/Quillane.mailbundle"), folder + "/LinkedFolder/Quillane.mailbundle");
  for (const char* name : {"/file.mdimporter", "/Absent.mailbundle", "/Link.mailbundle"})
    EXPECT_EQ(bundleAt(folder + name), "(none)") << name;
  EXPECT_EQ(bundleAt(""), "(none)");

  const fs::path previous = fs::current_path();
  fs::current_path(folder);
  EXPECT_EQ(bundleAt("Quillane.mailbundle"), folder + "/Quillane.mailbundle");
  fs::current_path(previous);
}

TEST(BundleInfo, IdentifierComesFromContentsInfoPlist) {
  const std::string folder = makeScratchDirectory("info");
  const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  writeFile(folder + "/Good.mailbundle/Contents/Info.plist",
            plist + "<dict><key>CFBundleIdentifier</key><string>com.example.quillane</string>"
                    "<key>CFBundleVersion</key><string>1.0</string></dict></plist>");
  writeFile(folder + "/NumberId.app/Contents/Info.plist", plist + "<dict><key>CFBundleIdentifier</key><integer>7</integer></dict></plist>");
  writeFile(folder + "/Array.app/Contents/Info.plist", plist + "<array/></plist>");
  writeFile(folder + "/Corrupt.app/Contents/Info.plist", plist + "<dict><key>CFBundleIdentifier</key>");
  fs::create_directories(folder + "/Missing.app/Contents");
  // A fifo no one writes to would hold a blocking open for ever.
  fs::create_directories(folder + "/Fifo.app/Contents");
  ASSERT_EQ(::mkfifo((folder + "/Fifo.app/Contents/Info.plist").c_str(), 0600), 0);

  const auto good = NSBundle::bundleWithPath(QString::fromStdString(folder + "/Good.mailbundle"));
  ASSERT_TRUE(good && good->infoDictionary());
  EXPECT_EQ(good->infoDictionary()->size(), 2u);
  EXPECT_EQ(good->bundleIdentifier(), QStringLiteral("com.example.quillane"));
  const auto numberId = NSBundle::bundleWithPath(QString::fromStdString(folder + "/NumberId.app"));
  ASSERT_TRUE(numberId && numberId->infoDictionary());
  EXPECT_EQ(numberId->bundleIdentifier(), QString());
  for (const char* name : {"/Array.app", "/Corrupt.app", "/Missing.app", "/Fifo.app"}) {
    const auto bundle = NSBundle::bundleWithPath(QString::fromStdString(folder + name));
    ASSERT_TRUE(bundle) << name;
    EXPECT_FALSE(bundle->infoDictionary()) << name;
    EXPECT_EQ(bundle->bundleIdentifier(), QString()) << name;
  }
}

TEST(BundleForClass, TheRunningProgramFindsTheApplicationBundleItWasCopiedInto) {
  const std::string here = fs::canonical("/proc/self/exe").parent_path();
  EXPECT_EQ(printedBundles(), "main=" + here + " class=" + here);

  const std::string folder = makeScratchDirectory("relocated");
  const std::string app = folder + "/Quillane.mailbundle/Contents/Resources/Agent.app";
  EXPECT_EQ(bundlesReportedByCopyAt(app + "/Contents/MacOS/Agent"), "main=" + app + " class=" + app);
  const std::string notApp = folder + "/Agent.bundle/Contents/MacOS";
  EXPECT_EQ(bundlesReportedByCopyAt(notApp + "/Agent"), "main=" + notApp + " class=" + notApp);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--print-bundles") == 0) return std::printf("%s", printedBundles().c_str()) < 0;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
