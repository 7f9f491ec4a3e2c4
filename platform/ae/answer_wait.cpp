#include "ae/answer_wait.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace ae {
namespace {

using Clock = std::chrono::steady_clock;

struct Mailbox {
  std::mutex mutex;
  std::condition_variable arrived;
  std::optional<QDBusMessage> answer;
  Clock::time_point arrivedAt;

  void put(const QDBusMessage& message) {
    {
      std::lock_guard lock(mutex);
      if (answer) return;
      answer = message;
      arrivedAt = Clock::now();
    }
    arrived.notify_one();
  }
};

// Takes the answer on a thread that runs an event loop while the caller blocks: the bus
// library delivers answers to a receiver through that receiver's thread.
class AnswerCatcher final : public QObject {
  Q_OBJECT
 public:
  explicit AnswerCatcher(std::shared_ptr<Mailbox> mailbox) : mailbox_(std::move(mailbox)) {}

 public slots:
  void answered(const QDBusMessage& reply) { mailbox_->put(reply); }
  void failed(const QDBusError& error, const QDBusMessage&) { mailbox_->put(QDBusMessage::createError(error)); }

 private:
  std::shared_ptr<Mailbox> mailbox_;
};

// The bus library's own thread, whose loop hands out the answers, when the caller is not
// on it; otherwise a thread of our own.
QThread* catcherThread(const QDBusConnection& bus) {
  QThread* busThread = bus.interface() ? bus.interface()->thread() : nullptr;
  if (busThread && busThread != QThread::currentThread() && busThread->isRunning()) return busThread;
  static QThread* own = [] {
    auto* thread = new QThread;  // lives as long as the process
    thread->setObjectName(QStringLiteral("AppleEvent answers"));
    thread->start();
    return thread;
  }();
  return own;
}

}  // namespace

std::optional<QDBusMessage> callUntilDeadline(const QDBusConnection& bus, const QDBusMessage& call,
                                              const ReplyDeadline& deadline) {
  const Clock::time_point start = Clock::now();
  auto mailbox = std::make_shared<Mailbox>();
  auto* catcher = new AnswerCatcher(mailbox);
  catcher->moveToThread(catcherThread(bus));
  const bool sent = bus.callWithCallback(call, catcher, SLOT(answered(QDBusMessage)),
                                         SLOT(failed(QDBusError,QDBusMessage)), deadline.busTimeoutMs);
  std::optional<QDBusMessage> answer;
  {
    std::unique_lock lock(mailbox->mutex);
    const auto present = [&] { return mailbox->answer.has_value(); };
    if (!sent) {
      answer = QDBusMessage::createError(QDBusError::Disconnected, QStringLiteral("The call could not be sent"));
    } else if (deadline.unlimited) {
      mailbox->arrived.wait(lock, present);
      answer = mailbox->answer;
    } else if (mailbox->arrived.wait_until(lock, start + deadline.wait, present) &&
               mailbox->arrivedAt - start <= deadline.wait) {
      answer = mailbox->answer;
    }
  }
  // A late answer finds no receiver and is dropped.
  catcher->deleteLater();
  return answer;
}

}  // namespace ae

#include "answer_wait.moc"
