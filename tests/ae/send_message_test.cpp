// AESendMessage between two real processes on a private bus: each send policy against a
// present, absent, hung, slow and vanishing target, and every field of the event.
#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "bus_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ae_test::sendEvent;
using ae_test::Standin;

constexpr char kMail[] = "com.apple.mail";

TEST(PresentTarget, AnswersEachPolicyAndQuitsAfterAWaitingQuit) {
  Standin mail;
  ASSERT_TRUE(mail.started());
  EXPECT_EQ(sendEvent(kMail, kAEMiscStandards, kAEActivate, kAENoReply, kAEDefaultTimeout).status, noErr);
  EXPECT_EQ(sendEvent(kMail, kAEMiscStandards, kAEActivate, kAEWaitReply, 600).status, noErr);
  EXPECT_EQ(sendEvent(kMail, fourCharCode("abcd"), fourCharCode("efgh"), kAEWaitReply, 600).status,
            errAEEventNotHandled);
  EXPECT_EQ(sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAEWaitReply, 600).status, noErr);
  EXPECT_EQ(mail.waitForExit(), 0);

  const auto log = mail.log();
  ASSERT_EQ(log.size(), 4u);
  std::set<int> returnIDs;
  for (const QJsonObject& line : log) {
    EXPECT_EQ(line["address_type"].toString(), "bund");
    EXPECT_EQ(line["address"].toString(), kMail);  // no terminating zero byte would show as \u0000
    EXPECT_EQ(line["transaction_id"].toInt(-99), 0);
    EXPECT_NE(line["return_id"].toInt(-1), -1);
    returnIDs.insert(line["return_id"].toInt());
  }
  EXPECT_EQ(returnIDs.size(), 4u) << "each event gets its own generated return ID";
  EXPECT_FALSE(log[0]["reply_wanted"].toBool(true));
  EXPECT_TRUE(log[3]["reply_wanted"].toBool(false));
  EXPECT_EQ(log[3]["class"].toString(), "aevt");
  EXPECT_EQ(log[3]["id"].toString(), "quit");
}

TEST(AbsentTarget, BothPoliciesReportProcNotFoundAtOnce) {
  for (AESendMode mode : {kAENoReply, kAEWaitReply}) {
    const auto sent = sendEvent("com.example.absent", kCoreEventClass, kAEQuitApplication, mode, 600);
    EXPECT_EQ(sent.status, procNotFound) << mode;
    EXPECT_LT(sent.elapsed, 2s) << mode;
  }
  // No application can own a name for an identifier without one.
  EXPECT_EQ(sendEvent("", kCoreEventClass, kAEQuitApplication, kAENoReply, 600).status, procNotFound);
}

TEST(HungTarget, NoReplyReturnsAtOnceAndWaitingTimesOutOnTime) {
  Standin mail({QStringLiteral("--no-reply")});
  ASSERT_TRUE(mail.started());
  const auto noReply = sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAENoReply, kAEDefaultTimeout);
  EXPECT_EQ(noReply.status, noErr);
  EXPECT_LT(noReply.elapsed, 1s);

  // Never before the timeout; after it only by the time the scheduler takes to wake us
  // (ae_timeout_bench prints the spread; the bounds here allow for a busy machine).
  constexpr int kShortWaits = 5;
  for (int i = 0; i < kShortWaits; ++i) {
    const auto shortWait = sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAEWaitReply, 6);
    EXPECT_EQ(shortWait.status, errAETimeout);
    EXPECT_GE(shortWait.elapsed, 100ms);
    EXPECT_LT(shortWait.elapsed, 600ms);
  }

  // The agent's policy: 600 ticks.
  const auto agentWait = sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAEWaitReply, 600);
  EXPECT_EQ(agentWait.status, errAETimeout);
  EXPECT_GE(agentWait.elapsed, 10000ms);
  EXPECT_LT(agentWait.elapsed, 10500ms);

  EXPECT_EQ(mail.process().state(), QProcess::Running);
  EXPECT_EQ(mail.log().size(), 2u + kShortWaits);
}

TEST(SlowTarget, AWaitingSendGetsTheAnswerAfterTheDelay) {
  Standin mail({QStringLiteral("--reply-delay"), QStringLiteral("700")});
  ASSERT_TRUE(mail.started());
  const auto sent = sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAEWaitReply, 600);
  EXPECT_EQ(sent.status, noErr);
  EXPECT_GE(sent.elapsed, 700ms);
  EXPECT_EQ(mail.waitForExit(), 0);
}

TEST(VanishingTarget, LeavingTheBusDuringAWaitIsConnectionInvalid) {
  Standin mail({QStringLiteral("--no-reply")});
  ASSERT_TRUE(mail.started());
  const auto pid = static_cast<pid_t>(mail.process().processId());
  std::thread killer([pid] {
    std::this_thread::sleep_for(300ms);
    ::kill(pid, SIGKILL);
  });
  const auto sent = sendEvent(kMail, kCoreEventClass, kAEQuitApplication, kAEWaitReply, 600);
  killer.join();
  EXPECT_EQ(sent.status, connectionInvalid);
  EXPECT_LT(sent.elapsed, 5s);
}

class EchoReceiver {
 public:
  explicit EchoReceiver(const QString& identifier) {
    process_.start(ae_test::builtProgram(QStringLiteral("ae_echo_receiver")), {identifier});
    ready_ = process_.waitForReadyRead(10000) && process_.readLine().trimmed() == "ready";
  }
  ~EchoReceiver() {
    process_.kill();
    process_.waitForFinished();
  }
  bool ready() const { return ready_; }

 private:
  QProcess process_;
  bool ready_ = false;
};

TEST(Fields, EveryFieldArrivesAsSentAndTheReplyComesBack) {
  // Not a valid bus name as it is: escaped on the way, the same identifier on arrival.
  const QByteArray identifier = "org.ex\xC3\xA4mple.1st_Receiver";
  EchoReceiver receiver(QString::fromUtf8(identifier));
  ASSERT_TRUE(receiver.ready());

  const char blob[] = {'\0', '\x01', '\xff'};
  AppleEvent event;
  ASSERT_EQ(AEBuildAppleEvent(fourCharCode("SKHP"), fourCharCode("CHBG"), typeApplicationBundleID,
                              identifier.constData(), identifier.size(), 1234, 77, &event, nullptr,
                              "'----':-5, 'num ':123456, text:\"h\xC3\xA9\", blob:'blob'(@), errn:-42", Size(3), blob),
            noErr);
  AppleEvent rawReply;
  EXPECT_EQ(AESendMessage(&event, &rawReply, kAEWaitReply, 600), -42) << "the handler's status is the send's";
  AEDisposeDesc(&event);
  const auto reply = ae::NSAppleEventDescriptor::adopt(&rawReply);
  EXPECT_EQ(reply.eventClass(), kCoreEventClass);
  EXPECT_EQ(reply.eventID(), kAEAnswer);
  EXPECT_EQ(reply.returnID(), 1234);
  EXPECT_EQ(reply.paramDescriptorForKeyword(keyReturnIDAttr).int32Value(), 1234);
  EXPECT_EQ(reply.paramDescriptorForKeyword(keyTransactionIDAttr).int32Value(), 77);
  const auto address = reply.paramDescriptorForKeyword(keyAddressAttr);
  EXPECT_EQ(address.descriptorType(), typeApplicationBundleID);
  EXPECT_EQ(address.data(), identifier);
  EXPECT_EQ(reply.paramDescriptorForKeyword(keyDirectObject).int32Value(), -5);
  EXPECT_EQ(reply.paramDescriptorForKeyword(fourCharCode("num ")).int32Value(), 123456);
  EXPECT_EQ(reply.paramDescriptorForKeyword(fourCharCode("text")).stringValue(), QStringLiteral("hé"));
  EXPECT_EQ(reply.paramDescriptorForKeyword(fourCharCode("blob")).descriptorType(), fourCharCode("blob"));
  EXPECT_EQ(reply.paramDescriptorForKeyword(fourCharCode("blob")).data(), QByteArray(blob, 3));
  EXPECT_TRUE(reply.paramDescriptorForKeyword(fourCharCode("main")).booleanValue()) << "handlers run on the main thread";

  // A generated return ID is the one that arrives.
  AppleEvent plain;
  ASSERT_EQ(AEBuildAppleEvent(kAEMiscStandards, kAEActivate, typeApplicationBundleID, identifier.constData(),
                              identifier.size(), kAutoGenerateReturnID, kAnyTransactionID, &plain, nullptr, ""),
            noErr);
  const AEReturnID generated = ae::NSAppleEventDescriptor(ae::NSAppleEventDescriptor::adopt(&plain)).returnID();
  ASSERT_EQ(AEBuildAppleEvent(kAEMiscStandards, kAEActivate, typeApplicationBundleID, identifier.constData(),
                              identifier.size(), generated, kAnyTransactionID, &plain, nullptr, ""),
            noErr);
  EXPECT_EQ(AESendMessage(&plain, &rawReply, kAEWaitReply, 600), noErr);
  EXPECT_EQ(ae::NSAppleEventDescriptor::adopt(&rawReply).paramDescriptorForKeyword(keyReturnIDAttr).int32Value(),
            generated);
  AEDisposeDesc(&plain);
}

TEST(Policies, UnsupportedModesAndTimeoutsAndAddressesAreRefused) {
  AppleEvent event;
  ASSERT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, kMail, 14,
                              kAutoGenerateReturnID, kAnyTransactionID, &event, nullptr, ""),
            noErr);
  AppleEvent reply;
  EXPECT_EQ(AESendMessage(&event, &reply, kAEQueueReply, 600), paramErr);
  EXPECT_EQ(AESendMessage(&event, &reply, kAEWaitReply, -3), paramErr);
  EXPECT_EQ(reply.dataHandle, nullptr);
  EXPECT_EQ(AESendMessage(nullptr, &reply, kAENoReply, 600), paramErr);
  AEDisposeDesc(&event);
  ASSERT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, fourCharCode("psn "), "\0\0\0\1", 4, 1, 0, &event,
                              nullptr, ""),
            noErr);
  EXPECT_EQ(AESendMessage(&event, nullptr, kAENoReply, 600), errAEUnknownAddressType);
  AEDisposeDesc(&event);
}

TEST(NoAutoStart, AnEventNeverStartsAnApplication) {
  // A service file that would start something for the name, were the bus allowed to.
  const QString marker = QDir::temp().filePath(QStringLiteral("auto-started"));
  const QString services = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/dbus-1/services");
  ASSERT_TRUE(QDir().mkpath(services));
  QFile service(services + QStringLiteral("/com.example.Startable.service"));
  ASSERT_TRUE(service.open(QIODevice::WriteOnly));
  service.write(QStringLiteral("[D-BUS Service]\nName=com.example.Startable\nExec=/bin/sh -c 'touch %1'\n")
                    .arg(marker)
                    .toUtf8());
  service.close();
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")));

  EXPECT_EQ(sendEvent("com.example.Startable", kCoreEventClass, kAEQuitApplication, kAENoReply, 600).status, procNotFound);
  EXPECT_EQ(sendEvent("com.example.Startable", kCoreEventClass, kAEQuitApplication, kAEWaitReply, 600).status,
            procNotFound);
  QThread::msleep(500);
  EXPECT_FALSE(QFileInfo::exists(marker));

  // The same call allowed to start a service does start it: the file above is in effect.
  QDBusMessage startable = QDBusMessage::createMethodCall(QStringLiteral("com.example.Startable"),
                                                          QStringLiteral("/"), QString(), QStringLiteral("Ping"));
  bus.call(startable, QDBus::Block, 3000);
  for (int i = 0; i < 50 && !QFileInfo::exists(marker); ++i) QThread::msleep(50);
  EXPECT_TRUE(QFileInfo::exists(marker));
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
