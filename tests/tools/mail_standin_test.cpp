// The Mail stand-in's behaviour as tests and the demo rely on it.
#include "bus_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace {

using ae_test::sendEvent;
using ae_test::Standin;

TEST(MailStandin, ATakenNameEndsTheSecondOneWithStatusOne) {
  Standin first;
  ASSERT_TRUE(first.started());
  QProcess second;
  second.start(ae_test::builtProgram(QStringLiteral("mail-standin")), {});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_TRUE(second.readAllStandardError().startsWith("mail-standin: com.apple.mail"));
  EXPECT_EQ(first.process().state(), QProcess::Running);
}

TEST(MailStandin, BadOptionsAreRefused) {
  for (const QStringList& arguments : {QStringList{QStringLiteral("--reply-delay"), QStringLiteral("-5")},
                                       QStringList{QStringLiteral("--reply-delay"), QStringLiteral("soon")},
                                       QStringList{QStringLiteral("--colour")},
                                       QStringList{QStringLiteral("--log"), QStringLiteral("/nonexistent/dir/log")}}) {
    QProcess process;
    process.start(ae_test::builtProgram(QStringLiteral("mail-standin")), arguments);
    ASSERT_TRUE(process.waitForFinished(10000));
    const bool unopenableLog = arguments.first() == u"--log";
    EXPECT_EQ(process.exitCode(), unopenableLog ? 1 : 2) << qPrintable(arguments.join(' '));
  }
}

TEST(MailStandin, ActivateStaysQuitEndsAndOtherIdentifiers) {
  Standin mail({QStringLiteral("--bundle-id"), QStringLiteral("com.example.Other")},
               QStringLiteral("com.example.Other"));
  ASSERT_TRUE(mail.started());
  EXPECT_EQ(sendEvent("com.example.Other", kAEMiscStandards, kAEActivate, kAEWaitReply, 600).status, noErr);
  EXPECT_EQ(mail.process().state(), QProcess::Running);
  EXPECT_EQ(sendEvent("com.apple.mail", kAEMiscStandards, kAEActivate, kAEWaitReply, 600).status, procNotFound);
  EXPECT_EQ(sendEvent("com.example.Other", kCoreEventClass, kAEQuitApplication, kAENoReply, 600).status, noErr);
  EXPECT_EQ(mail.waitForExit(), 0);
  const auto log = mail.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["address"].toString(), "com.example.Other");
  EXPECT_FALSE(log[1]["reply_wanted"].toBool(true));
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
