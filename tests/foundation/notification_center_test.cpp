#include "foundation/notification_center.h"

#include <thread>

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using foundation::NSNotification;
using foundation::NSNotificationCenter;

namespace {

struct Recorder {
  std::vector<QString> names;
  std::vector<const void*> senders;
  std::vector<bool> onMainThread;
  std::optional<plist::Dictionary> lastUserInfo;

  NSNotificationCenter::Selector selector() {
    return [this](const NSNotification& n) {
      names.push_back(n.name());
      senders.push_back(n.object());
      onMainThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
      lastUserInfo = n.userInfo();
    };
  }
};

const int senderOne = 1, senderTwo = 2;

}  // namespace

TEST(NotificationCenter, DeliversByNameAndSender) {
  NSNotificationCenter center;
  Recorder anySender, fromOne, everything;
  center.addObserverSelectorNameObject(&anySender, anySender.selector(), QStringLiteral("SUUpdateDriverFinished"), nullptr);
  center.addObserverSelectorNameObject(&fromOne, fromOne.selector(), QStringLiteral("SUUpdateDriverFinished"), &senderOne);
  center.addObserverSelectorNameObject(&everything, everything.selector(), QString(), nullptr);

  center.postNotificationNameObjectUserInfo(QStringLiteral("SUUpdateDriverFinished"), &senderTwo);
  center.postNotificationNameObjectUserInfo(QStringLiteral("SUUpdateDriverFinished"), &senderOne,
                                            plist::Dictionary{{"backgroundCheck", plist::Value(true)}});
  center.postNotificationNameObjectUserInfo(QStringLiteral("Other"), &senderOne);

  EXPECT_EQ(anySender.senders, (std::vector<const void*>{&senderTwo, &senderOne}));
  EXPECT_EQ(fromOne.senders, (std::vector<const void*>{&senderOne}));
  ASSERT_TRUE(fromOne.lastUserInfo.has_value());
  ASSERT_NE(fromOne.lastUserInfo->get("backgroundCheck"), nullptr);
  EXPECT_EQ(everything.names, (std::vector<QString>{QStringLiteral("SUUpdateDriverFinished"),
                                                    QStringLiteral("SUUpdateDriverFinished"), QStringLiteral("Other")}));
  EXPECT_FALSE(everything.lastUserInfo.has_value());
}

TEST(NotificationCenter, RemovedObserversHearNothingEvenWithinTheSameDelivery) {
  NSNotificationCenter center;
  Recorder second, third;
  int firstCalls = 0;
  const int first = 0;
  // The first observer removes the second one and itself while the notification is delivered.
  center.addObserverSelectorNameObject(&first, [&](const NSNotification&) {
    ++firstCalls;
    center.removeObserver(&second);
    center.removeObserver(&first);
  }, QStringLiteral("N"), nullptr);
  center.addObserverSelectorNameObject(&second, second.selector(), QStringLiteral("N"), nullptr);
  center.addObserverSelectorNameObject(&third, third.selector(), QStringLiteral("N"), nullptr);

  center.postNotificationNameObjectUserInfo(QStringLiteral("N"), nullptr);
  center.postNotificationNameObjectUserInfo(QStringLiteral("N"), nullptr);
  EXPECT_EQ(firstCalls, 1);
  EXPECT_TRUE(second.names.empty());
  EXPECT_EQ(third.names.size(), 2u);
}

TEST(NotificationCenter, ObserversMayRegisterAndPostFromTheirCallbacks) {
  NSNotificationCenter center;
  Recorder late;
  const int chain = 0;
  center.addObserverSelectorNameObject(&chain, [&](const NSNotification&) {
    center.addObserverSelectorNameObject(&late, late.selector(), QStringLiteral("Second"), nullptr);
    center.postNotificationNameObjectUserInfo(QStringLiteral("Second"), nullptr);
  }, QStringLiteral("First"), nullptr);
  center.postNotificationNameObjectUserInfo(QStringLiteral("First"), nullptr);
  EXPECT_EQ(late.names, (std::vector<QString>{QStringLiteral("Second")}));
}

TEST(NotificationCenter, PostsFromOtherThreadsAreDeliveredOnTheMainThread) {
  NSNotificationCenter& center = NSNotificationCenter::defaultCenter();
  Recorder kept, removedBeforeDelivery;
  center.addObserverSelectorNameObject(&kept, kept.selector(), QStringLiteral("FromWorker"), nullptr);
  center.addObserverSelectorNameObject(&removedBeforeDelivery, removedBeforeDelivery.selector(),
                                       QStringLiteral("FromWorker"), nullptr);

  std::thread worker([&] { center.postNotificationNameObjectUserInfo(QStringLiteral("FromWorker"), &senderOne); });
  worker.join();
  EXPECT_TRUE(kept.names.empty()) << "delivered on the worker thread";
  center.removeObserver(&removedBeforeDelivery);

  QCoreApplication::processEvents();
  EXPECT_EQ(kept.senders, (std::vector<const void*>{&senderOne}));
  EXPECT_EQ(kept.onMainThread, (std::vector<bool>{true}));
  EXPECT_TRUE(removedBeforeDelivery.names.empty());
  center.removeObserver(&kept);
}

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
