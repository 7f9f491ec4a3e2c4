#include "foundation/path_utilities.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(PathUtilities, WorkOnWholeComponents) {
  const char* join[][3] = {
      {"/home/u/Library", "Mail/Bundles/Quillane.mailbundle", "/home/u/Library/Mail/Bundles/Quillane.mailbundle"},
      {"/home/u/Library//", "/Spotlight/", "/home/u/Library/Spotlight"}, {"/", "Library", "/Library"},
      {"//", "Library", "/Library"}, {"", "Library", "Library"}, {"/tmp/", "", "/tmp"}, {"/", "", "/"}};
  for (const auto& c : join) EXPECT_EQ(stringByAppendingPathComponent(c[0], c[1]), QString(c[2])) << c[0] << " + " << c[1];

  const char* parent[][2] = {{"/a/b/Q.mailbundle", "/a/b"}, {"/a/b/", "/a"}, {"/a//b", "/a"}, {"/a", "/"},
                             {"/", "/"}, {"///", "/"}, {"a", ""}, {"a/b", "a"}, {"", ""}};
  for (const auto& c : parent) EXPECT_EQ(stringByDeletingLastPathComponent(c[0]), QString(c[1])) << c[0];

  const char* last[][2] = {{"/a/b.c", "b.c"}, {"/a/b/", "b"}, {"/", "/"}, {"", ""}};
  for (const auto& c : last) EXPECT_EQ(lastPathComponent(c[0]), QString(c[1])) << c[0];

  const char* extension[][2] = {{"/L/Quillane.mailbundle", "mailbundle"}, {"/L/Q.mailbundle/", "mailbundle"},
                                {"/a/x.tar.gz", "gz"}, {"/a.b/c", ""}, {"/a/.hidden", ""}, {"/a/b.", ""},
                                {"/", ""}, {"/a/..", ""}};
  for (const auto& c : extension) EXPECT_EQ(pathExtension(c[0]), QString(c[1])) << c[0];
}

TEST(PathUtilities, DeletingComponentsOneByOneEndsAtTheRoot) {
  QString path = QStringLiteral("/Users/u/Library/Mail/Bundles/Quillane.mailbundle/Contents/Resources/A.app");
  int steps = 0;
  for (; path != u"/" && steps < 20; ++steps) path = stringByDeletingLastPathComponent(path);
  EXPECT_EQ(steps, 9);
}
