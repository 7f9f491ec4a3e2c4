#include "foundation/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include <QDateTime>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

// Runs body with stderr redirected to a file and returns what was written.
template <typename Body>
std::string captureStandardError(Body body) {
  char path[] = "/tmp/log-test.XXXXXX";
  const int file = mkstemp(path);
  unlink(path);
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  char buffer[4096];
  lseek(file, 0, SEEK_SET);
  for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(file);
  return text;
}

}  // namespace

TEST(LogFormat, PlaceholdersTakeTheArgumentsInOrder) {
  EXPECT_EQ(stringWithFormat(QStringLiteral("Delete operation did not succeed: %@!"),
                             QStringLiteral("Could not remove \u201C/x\u201D: Permission denied")),
            QStringLiteral("Delete operation did not succeed: Could not remove \u201C/x\u201D: Permission denied!"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("SparkleHelper Launched! Target Bundle: %@"), "Sorrelby.mailbundle"),
            QStringLiteral("SparkleHelper Launched! Target Bundle: Sorrelby.mailbundle"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("%@/%@ %@ %@ %@"), 3, -7L, 2.5, true, std::string("s")),
            QStringLiteral("3/-7 2.5 YES s"));
}

TEST(LogFormat, ArgumentsAreNeverReadAsFormatsAndOddInputIsSafe) {
  // Text that itself contains placeholders is inserted as it is.
  EXPECT_EQ(stringWithFormat(QStringLiteral("[%@] [%@]"), QStringLiteral("%@ %% %d"), QStringLiteral("b")),
            QStringLiteral("[%@ %% %d] [b]"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("100%% done, %%@ stays, %d stays, trailing %")),
            QStringLiteral("100% done, %@ stays, %d stays, trailing %"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("%@ and %@"), QStringLiteral("one")), QStringLiteral("one and (null)"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("only %@"), 1, 2, 3), QStringLiteral("only 1"));
  EXPECT_EQ(stringWithFormat(QStringLiteral("%@"), static_cast<const char*>(nullptr)), QStringLiteral("(null)"));
}

TEST(LogLine, IsOneLineOnStandardErrorInThePlatformFormat) {
  const std::string written = captureStandardError([] {
    NSLog(QStringLiteral("Delete operation did not succeed: %@!"), QStringLiteral("reason"));
  });
  const QRegularExpression pattern(QStringLiteral(
      R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) log_test\[(\d+):(\d+)\] Delete operation did not succeed: reason!\n$)"));
  const QRegularExpressionMatch match = pattern.match(QString::fromStdString(written));
  ASSERT_TRUE(match.hasMatch()) << written;

  const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
  ASSERT_TRUE(stamp.isValid()) << written;
  EXPECT_LE(std::llabs(stamp.msecsTo(QDateTime::currentDateTime())), 5000) << "not the local time of the call";
  EXPECT_EQ(match.captured(2).toLongLong(), getpid());
  EXPECT_EQ(match.captured(3).toLongLong(), gettid());
}

TEST(LogLine, NamesTheThreadThatLogged) {
  pid_t workerThread = 0;
  const std::string written = captureStandardError([&] {
    std::thread worker([&] {
      workerThread = gettid();
      NSLog(QStringLiteral("from a worker"));
    });
    worker.join();
  });
  EXPECT_NE(workerThread, getpid());
  EXPECT_NE(written.find("[" + std::to_string(getpid()) + ":" + std::to_string(workerThread) + "] from a worker\n"),
            std::string::npos)
      << written;
}
