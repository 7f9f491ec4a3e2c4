#include "foundation/notification_center.h"

#include <thread>

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using foundation::NSNotification;
using foundation::NSNotificationCenter;

namespace {

struct Recorder {
  std::vector<std::pair<QString, const void*>> received;
  bool allOnMainThread = true;
  bool lastHadUserInfo = false;
  NSNotificationCenter::Selector selector() {
    return [this](const NSNotification& n) {
      received.emplace_back(n.name(), n.object());
      allOnMainThread &= QThread::currentThread() == qApp->thread();
      lastHadUserInfo = n.userInfo() && n.userInfo()->get("backgroundCheck");
    };
  }
};

const int one = 1, two = 2;
const QString finished = QStringLiteral("SUUpdateDriverFinished");

}  // namespace

TEST(NotificationCenter, DeliversByNameAndSenderAndStopsAtRemoval) {
  NSNotificationCenter center;
  Recorder anySender, fromOne, everything, removedMidway;
  int first = 0;
  center.addObserverSelectorNameObject(&first, [&](const NSNotification&) { center.removeObserver(&removedMidway); },
                                       finished, nullptr);
  center.addObserverSelectorNameObject(&removedMidway, removedMidway.selector(), finished, nullptr);
  center.addObserverSelectorNameObject(&anySender, anySender.selector(), finished, nullptr);
  center.addObserverSelectorNameObject(&fromOne, fromOne.selector(), finished, &one);
  center.addObserverSelectorNameObject(&everything, everything.selector(), QString(), nullptr);

  center.postNotificationNameObjectUserInfo(finished, &two);
  center.postNotificationNameObjectUserInfo(finished, &one, plist::Dictionary{{"backgroundCheck", plist::Value(true)}});
  center.postNotificationNameObjectUserInfo(QStringLiteral("Other"), &one);

  using Seen = std::vector<std::pair<QString, const void*>>;
  EXPECT_EQ(anySender.received, (Seen{{finished, &two}, {finished, &one}}));
  EXPECT_EQ(fromOne.received, (Seen{{finished, &one}}));
  EXPECT_TRUE(fromOne.lastHadUserInfo);
  EXPECT_EQ(everything.received.size(), 3u);
  EXPECT_TRUE(removedMidway.received.empty()) << "removed by an earlier observer of the same notification";
}

TEST(NotificationCenter, PostsFromOtherThreadsArriveLaterOnTheMainThread) {
  NSNotificationCenter& center = NSNotificationCenter::defaultCenter();
  Recorder kept, removedBeforeDelivery;
  center.addObserverSelectorNameObject(&kept, kept.selector(), finished, nullptr);
  center.addObserverSelectorNameObject(&removedBeforeDelivery, removedBeforeDelivery.selector(), finished, nullptr);

  std::thread([&] { center.postNotificationNameObjectUserInfo(finished, &one); }).join();
  EXPECT_TRUE(kept.received.empty()) << "delivered on the posting thread";
  center.removeObserver(&removedBeforeDelivery);
  QCoreApplication::processEvents();

  EXPECT_EQ(kept.received.size(), 1u);
  EXPECT_TRUE(kept.allOnMainThread);
  EXPECT_TRUE(removedBeforeDelivery.received.empty());
  center.removeObserver(&kept);
}

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
