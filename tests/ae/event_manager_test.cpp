// The receiving side in this process, with aesend as the sending process: claiming names,
// choosing handlers, suspended events and handlers that fail.
#include "ae/AppleEventObjects.h"
#include "ae/bus_name.h"
#include "bus_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTimer>

#include <stdexcept>

namespace {

using ae::NSAppleEventDescriptor;
using ae::NSAppleEventManager;

constexpr char kSelf[] = "org.quillane.EventManagerTest";

// Runs aesend against this process while serving events; its printed status.
QString aesend(const QStringList& arguments) {
  QProcess sender;
  sender.start(ae_test::builtProgram(QStringLiteral("aesend")), arguments);
  if (!sender.waitForStarted() || !ae_test::serveUntilFinished(sender)) {
    sender.kill();
    sender.waitForFinished();
    return QStringLiteral("no answer");
  }
  return QString::fromUtf8(sender.readAllStandardOutput()).trimmed();
}

QString waitingSend(const char* eventClass, const char* eventID) {
  return aesend({QStringLiteral("--wait"), QStringLiteral("--timeout"), QStringLiteral("600"), kSelf,
                 QString::fromLatin1(eventClass), QString::fromLatin1(eventID)});
}

class EventManager : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(manager().registerApplication(kSelf), noErr); }
  void TearDown() override {
    for (auto [c, i] : {std::pair{typeWildCard, typeWildCard}, std::pair{fourCharCode("SKHP"), typeWildCard},
                        std::pair{typeWildCard, fourCharCode("CHBG")},
                        std::pair{fourCharCode("SKHP"), fourCharCode("CHBG")}}) {
      manager().removeEventHandlerForEventClassAndEventID(c, i);
    }
  }
  static NSAppleEventManager& manager() { return NSAppleEventManager::sharedAppleEventManager(); }

  // A handler that answers with `status`.
  static NSAppleEventManager::Handler answering(OSStatus status) {
    return [status](const NSAppleEventDescriptor&, NSAppleEventDescriptor& reply) {
      reply.setParamDescriptorForKeyword(NSAppleEventDescriptor::descriptorWithInt32(status), keyErrorNumber);
    };
  }
};

TEST_F(EventManager, ClaimingNames) {
  EXPECT_EQ(manager().registerApplication(kSelf), noErr) << "a name this process owns already";
  EXPECT_EQ(manager().registerApplication(QString()), paramErr);

  ae_test::Standin mail;
  ASSERT_TRUE(mail.started());
  EXPECT_EQ(manager().registerApplication(QStringLiteral("com.apple.mail")), portNameExistsErr);

  // Identifiers that are not bus names are claimed under their escaped names, which the bus
  // itself accepts.
  for (const QString& identifier : {QStringLiteral("Mail"), QStringLiteral("com.1st.a..b_c"),
                                   QStringLiteral("de.müller.App")}) {
    ASSERT_EQ(manager().registerApplication(identifier), noErr) << qPrintable(identifier);
    const QString busName = *ae::busNameForBundleIdentifier(identifier.toUtf8());
    EXPECT_TRUE(QDBusConnection::sessionBus().interface()->isServiceRegistered(busName).value());
    EXPECT_EQ(aesend({QStringLiteral("--wait"), identifier, QStringLiteral("aevt"), QStringLiteral("oapp")}),
              QString::number(errAEEventNotHandled));
    EXPECT_EQ(manager().unregisterApplication(identifier), noErr);
    EXPECT_EQ(aesend({identifier, QStringLiteral("aevt"), QStringLiteral("oapp")}), QString::number(procNotFound));
  }
}

TEST_F(EventManager, TheMostSpecificHandlerAnswers) {
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(-1), typeWildCard, typeWildCard);
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(-2), typeWildCard, fourCharCode("CHBG"));
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(-3), fourCharCode("SKHP"), typeWildCard);
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(-4), fourCharCode("SKHP"),
                                                              fourCharCode("CHBG"));
  EXPECT_EQ(waitingSend("SKHP", "CHBG"), "-4");
  EXPECT_EQ(waitingSend("SKHP", "QTSH"), "-3");
  EXPECT_EQ(waitingSend("XXXX", "CHBG"), "-2");
  EXPECT_EQ(waitingSend("XXXX", "QTSH"), "-1");

  // Replacing and removing.
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(0), fourCharCode("SKHP"),
                                                              fourCharCode("CHBG"));
  EXPECT_EQ(waitingSend("SKHP", "CHBG"), "0");
  manager().removeEventHandlerForEventClassAndEventID(typeWildCard, typeWildCard);
  EXPECT_EQ(waitingSend("XXXX", "QTSH"), QString::number(errAEEventNotHandled));
}

TEST_F(EventManager, ASuspendedEventIsAnsweredWhenResumed) {
  NSAppleEventManager::SuspensionID suspension = 0;
  bool finishedBeforeResume = false;
  QProcess* sender = nullptr;
  manager().setEventHandlerAndSelectorForEventClassAndEventID(
      this,
      [&](const NSAppleEventDescriptor&, NSAppleEventDescriptor&) {
        suspension = manager().suspendCurrentAppleEvent();
        QTimer::singleShot(500, [&] {
          finishedBeforeResume = sender->state() == QProcess::NotRunning;
          manager().replyAppleEventForSuspensionID(suspension)->setParamDescriptorForKeyword(
              NSAppleEventDescriptor::descriptorWithInt32(-5), keyErrorNumber);
          manager().resumeWithSuspensionID(suspension);
          manager().resumeWithSuspensionID(suspension);  // a second resume changes nothing
        });
      },
      fourCharCode("SKHP"), fourCharCode("CHBG"));
  EXPECT_EQ(manager().suspendCurrentAppleEvent(), 0u) << "outside a handler there is nothing to suspend";

  QProcess process;
  sender = &process;
  process.start(ae_test::builtProgram(QStringLiteral("aesend")),
                {QStringLiteral("--wait"), kSelf, QStringLiteral("SKHP"), QStringLiteral("CHBG")});
  ASSERT_TRUE(process.waitForStarted());
  ASSERT_TRUE(ae_test::serveUntilFinished(process));
  EXPECT_NE(suspension, 0u);
  EXPECT_FALSE(finishedBeforeResume);
  EXPECT_EQ(process.readAllStandardOutput().trimmed(), "-5");
  EXPECT_EQ(manager().replyAppleEventForSuspensionID(suspension), nullptr);
}

TEST_F(EventManager, AHandlerThatThrowsFailsTheEventNotTheProcess) {
  manager().setEventHandlerAndSelectorForEventClassAndEventID(
      this, [](const NSAppleEventDescriptor&, NSAppleEventDescriptor&) { throw std::runtime_error("handler bug"); },
      fourCharCode("SKHP"), fourCharCode("CHBG"));
  EXPECT_EQ(waitingSend("SKHP", "CHBG"), QString::number(errAEEventFailed));
  manager().setEventHandlerAndSelectorForEventClassAndEventID(this, answering(0), fourCharCode("SKHP"),
                                                              fourCharCode("CHBG"));
  EXPECT_EQ(waitingSend("SKHP", "CHBG"), "0");
}

TEST_F(EventManager, AnUnknownMemberOfTheEventInterfaceIsAnUnknownMethod) {
  // Through an independent client, as any peer would call it.
  QProcess gdbus;
  gdbus.start(QStringLiteral("gdbus"), {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"), kSelf,
                                        QStringLiteral("--object-path"), QStringLiteral("/org/quillane/AppleEvents"),
                                        QStringLiteral("--method"), QStringLiteral("org.quillane.AppleEvents.Nonexistent")});
  ASSERT_TRUE(gdbus.waitForStarted());
  ASSERT_TRUE(ae_test::serveUntilFinished(gdbus));
  const QString error = QString::fromUtf8(gdbus.readAllStandardError());
  EXPECT_TRUE(error.contains(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"))) << qPrintable(error);
}

TEST_F(EventManager, AnEventToThisVeryProcess) {
  int calls = 0;
  manager().setEventHandlerAndSelectorForEventClassAndEventID(
      this,
      [&](const NSAppleEventDescriptor&, NSAppleEventDescriptor& reply) {
        ++calls;
        reply.setParamDescriptorForKeyword(NSAppleEventDescriptor::descriptorWithInt32(-7), keyErrorNumber);
      },
      fourCharCode("SKHP"), fourCharCode("CHBG"));
  const auto waited = ae_test::sendEvent(kSelf, fourCharCode("SKHP"), fourCharCode("CHBG"), kAEWaitReply, 60);
  EXPECT_EQ(waited.status, -7);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ae_test::sendEvent(kSelf, fourCharCode("SKHP"), fourCharCode("CHBG"), kAENoReply, 60).status, noErr);
  for (int i = 0; i < 100 && calls < 2; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(calls, 2);
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
