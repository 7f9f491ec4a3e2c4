// gtest entry for the updater's tests: they need a widgets application (the updater's
// windows) and its event loop, offscreen in the sandbox the test runner provides.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
