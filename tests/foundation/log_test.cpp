#include "foundation/log.h"

#include <unistd.h>

#include <cstdio>
#include <thread>

#include <QDateTime>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

// What body writes to stderr.
template <typename Body>
QString standardErrorOf(Body body) {
  FILE* capture = std::tmpfile();
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(capture), STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::rewind(capture);
  char buffer[4096] = {};
  const std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, capture);
  std::fclose(capture);
  return QString::fromUtf8(buffer, static_cast<qsizetype>(length));
}

}  // namespace

TEST(LogFormat, PlaceholdersTakeArgumentsInOrderAndAreNeverReadTwice) {
  EXPECT_EQ(stringWithFormat("Delete operation did not succeed: %@!", QStringLiteral("Could not remove \u201C%@\u201D")),
            QStringLiteral("Delete operation did not succeed: Could not remove \u201C%@\u201D!"));
  EXPECT_EQ(stringWithFormat("%@/%@ %@ %@ [%@]", 3, -7L, 2.5, true, "text"), QStringLiteral("3/-7 2.5 YES [text]"));
  EXPECT_EQ(stringWithFormat("100%% and %%@ and %d and trailing %"), QStringLiteral("100% and %@ and %d and trailing %"));
  EXPECT_EQ(stringWithFormat("%@ and %@", "one"), QStringLiteral("one and (null)"));
  EXPECT_EQ(stringWithFormat("only %@", 1, 2), QStringLiteral("only 1"));
}

TEST(LogLine, IsOneLineOnStandardErrorWithTimeProgramProcessAndThread) {
  pid_t worker = 0;
  const QString written = standardErrorOf([&] {
    NSLog("SparkleHelper Launched! Target Bundle: %@", "Sorrelby.mailbundle");
    std::thread([&] {
      worker = gettid();
      NSLog("from a worker");
    }).join();
  });
  const QRegularExpression line(QStringLiteral(
      R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) log_test\[(\d+):(\d+)\] SparkleHelper Launched! Target Bundle: Sorrelby.mailbundle\n)"
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} log_test\[(\d+):(\d+)\] from a worker\n$)"));
  const QRegularExpressionMatch match = line.match(written);
  ASSERT_TRUE(match.hasMatch()) << written.toStdString();

  const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
  EXPECT_LE(std::llabs(stamp.msecsTo(QDateTime::currentDateTime())), 5000) << "not the local time of the call";
  EXPECT_EQ(match.captured(2).toInt(), getpid());
  EXPECT_EQ(match.captured(3).toInt(), gettid());
  EXPECT_EQ(match.captured(4).toInt(), getpid());
  EXPECT_EQ(match.captured(5).toInt(), worker);
}
