#include "foundation/path_utilities.h"

#include <QStringList>

#include <gtest/gtest.h>

using namespace foundation;

namespace {
struct Case {
  const char* input;
  const char* expected;
};
struct JoinCase {
  const char* path;
  const char* component;
  const char* expected;
};
}  // namespace

TEST(PathUtilities, AppendingAComponentLeavesExactlyOneSlashBetween) {
  for (const JoinCase& c : {
           JoinCase{"/home/u/Library", "Mail/Bundles/Quillane.mailbundle", "/home/u/Library/Mail/Bundles/Quillane.mailbundle"},
           JoinCase{"/home/u/Library/", "Spotlight", "/home/u/Library/Spotlight"},
           JoinCase{"/home/u/Library//", "/Spotlight", "/home/u/Library/Spotlight"},
           JoinCase{"/tmp", "//a/b//", "/tmp/a/b"},
           JoinCase{"/", "Library", "/Library"},
           JoinCase{"//", "Library", "/Library"},
           JoinCase{"", "Library", "Library"},
           JoinCase{"relative", "x", "relative/x"},
           JoinCase{"/tmp/", "", "/tmp"},
           JoinCase{"/", "", "/"},
           JoinCase{"", "", ""},
           JoinCase{"/Mail", "Quillane Extras", "/Mail/Quillane Extras"},
       }) {
    EXPECT_EQ(stringByAppendingPathComponent(c.path, c.component), QString::fromUtf8(c.expected))
        << c.path << " + " << c.component;
  }
}

TEST(PathUtilities, DeletingTheLastComponentWorksOnWholeComponents) {
  for (const Case& c : {Case{"/a/b/Quillane.mailbundle", "/a/b"}, Case{"/a/b/", "/a"}, Case{"/a//b", "/a"},
                        Case{"/a", "/"}, Case{"/", "/"}, Case{"///", "/"}, Case{"a", ""}, Case{"a/b", "a"},
                        Case{"", ""}, Case{"//a", "/"}}) {
    EXPECT_EQ(stringByDeletingLastPathComponent(c.input), QString::fromUtf8(c.expected)) << c.input;
  }
}

TEST(PathUtilities, RepeatedDeletionWalksUpToTheRootAndStops) {
  QString path = QStringLiteral("/Users/u/Library/Mail/Bundles/Quillane.mailbundle/Contents/Resources/A.app");
  QStringList seen;
  while (path != u"/") {
    path = stringByDeletingLastPathComponent(path);
    seen << path;
    ASSERT_LT(seen.size(), 20) << "never reached /";
  }
  EXPECT_EQ(seen.at(2), QStringLiteral("/Users/u/Library/Mail/Bundles/Quillane.mailbundle"));
  EXPECT_EQ(stringByDeletingLastPathComponent(path), QStringLiteral("/"));
}

TEST(PathUtilities, LastComponentAndExtension) {
  for (const Case& c : {Case{"/a/b.c", "b.c"}, Case{"/a/b/", "b"}, Case{"/", "/"}, Case{"", ""}, Case{"name", "name"}}) {
    EXPECT_EQ(lastPathComponent(c.input), QString::fromUtf8(c.expected)) << c.input;
  }
  for (const Case& c : {Case{"/L/Mail/Bundles/Quillane.mailbundle", "mailbundle"},
                        Case{"/L/Quillane.mailbundle/", "mailbundle"}, Case{"/a/archive.tar.gz", "gz"},
                        Case{"/a.b/c", ""}, Case{"/a/.hidden", ""}, Case{"/a/b.", ""}, Case{"/", ""},
                        Case{"", ""}, Case{"A.app", "app"}, Case{"/a/..", ""}}) {
    EXPECT_EQ(pathExtension(c.input), QString::fromUtf8(c.expected)) << c.input;
  }
}
