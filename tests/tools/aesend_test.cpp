// aesend as a user runs it: arguments, printed status, exit codes.
#include "bus_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcessEnvironment>

namespace {

struct AesendRun {
  int exitCode;
  QString out;
  QString err;
};

AesendRun aesend(const QStringList& arguments, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(ae_test::builtProgram(QStringLiteral("aesend")), arguments);
  if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) return {-1, {}, {}};
  return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
          QString::fromUtf8(process.readAllStandardError())};
}

TEST(Aesend, MalformedArgumentsAreUsageErrors) {
  const QStringList bad[] = {
      {},
      {QStringLiteral("com.apple.mail"), QStringLiteral("aevt")},
      {QStringLiteral("com.apple.mail"), QStringLiteral("aev"), QStringLiteral("quit")},
      {QStringLiteral("com.apple.mail"), QStringLiteral("aevt"), QStringLiteral("quits")},
      {QStringLiteral("com.apple.mail"), QStringLiteral("aevt"), QStringLiteral("qüt")},
      {QString(), QStringLiteral("aevt"), QStringLiteral("quit")},
      {QStringLiteral("com.apple\nmail"), QStringLiteral("aevt"), QStringLiteral("quit")},
      {QStringLiteral("--timeout"), QStringLiteral("soon"), QStringLiteral("com.apple.mail"), QStringLiteral("aevt"),
       QStringLiteral("quit")},
      {QStringLiteral("--timeout")},
      {QStringLiteral("--loud"), QStringLiteral("com.apple.mail"), QStringLiteral("aevt"), QStringLiteral("quit")},
  };
  for (const QStringList& arguments : bad) {
    const AesendRun run = aesend(arguments);
    EXPECT_EQ(run.exitCode, 2) << qPrintable(arguments.join(' '));
    EXPECT_TRUE(run.out.isEmpty()) << qPrintable(arguments.join(' '));
    EXPECT_TRUE(run.err.contains("usage:")) << qPrintable(arguments.join(' '));
  }
}

TEST(Aesend, PrintsTheStatusAndExitsOneWhenItIsNotZero) {
  const AesendRun absent = aesend({QStringLiteral("--wait"), QStringLiteral("com.apple.mail"), QStringLiteral("aevt"),
                             QStringLiteral("quit")});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_EQ(absent.out, "-600\n");

  QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
  noBus.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
  const AesendRun unreachable = aesend({QStringLiteral("com.apple.mail"), QStringLiteral("aevt"), QStringLiteral("quit")}, noBus);
  EXPECT_EQ(unreachable.exitCode, 1);
  EXPECT_EQ(unreachable.out, "-609\n");

  ae_test::Standin mail;
  ASSERT_TRUE(mail.started());
  const AesendRun unknown = aesend({QStringLiteral("--wait"), QStringLiteral("--timeout=60"), QStringLiteral("com.apple.mail"),
                              QStringLiteral("abcd"), QStringLiteral("efgh")});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.out, "-1708\n");
  const AesendRun activate = aesend({QStringLiteral("com.apple.mail"), QStringLiteral("misc"), QStringLiteral("actv")});
  EXPECT_EQ(activate.exitCode, 0);
  EXPECT_EQ(activate.out, "0\n");
}

TEST(Aesend, ANoReplyEventIsDeliveredThoughAesendExitsAtOnce) {
  for (int i = 0; i < 10; ++i) {
    ae_test::Standin mail;
    ASSERT_TRUE(mail.started());
    EXPECT_EQ(aesend({QStringLiteral("com.apple.mail"), QStringLiteral("aevt"), QStringLiteral("quit")}).out, "0\n");
    EXPECT_EQ(mail.waitForExit(), 0) << "round " << i;
    ASSERT_EQ(mail.log().size(), 1u) << "round " << i;
    ASSERT_TRUE(ae_test::waitForBusName(QStringLiteral("com.apple.mail"), false));
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
