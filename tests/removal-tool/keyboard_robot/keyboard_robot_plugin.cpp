// A Qt input plugin for tests and benchmarks: it plays the part of a person at the keyboard
// in an unmodified Qt program. Qt loads it like any input-device plugin, through
// QT_QPA_GENERIC_PLUGINS="keyboardrobot:<key>;report=<file>", so the program under test
// needs no hook of its own.
//
// Once the program's first window is on screen the robot writes "window-shown <ns>" (the
// monotonic clock) to the report and, unless <key> is "none", presses <key> ("Return" or
// "Escape") in that window. Every alert panel that opens later is written to the report as
// "alert <title>\t<message>\t<buttons joined by |>" (tabs and line breaks escaped) and
// answered with Return, its default button.
#include <QApplication>
#include <QFile>
#include <QGenericPlugin>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <ctime>
#include <set>

namespace {

qint64 monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

QString escaped(QString text) {
  return text.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n");
}

class KeyboardRobot : public QObject {
 public:
  KeyboardRobot(int key, QString reportPath) : key_(key), reportPath_(std::move(reportPath)) {
    connect(&poll_, &QTimer::timeout, this, &KeyboardRobot::look);
    poll_.start(5);
    // The first expose marks the moment the window reached the screen, to the nanosecond.
    QCoreApplication::instance()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!firstExposeAt_ && event->type() == QEvent::Expose) {
      if (auto* window = qobject_cast<QWindow*>(watched); window && window->isExposed())
        firstExposeAt_ = monotonicNanoseconds();
    }
    return false;
  }

 private:
  void report(const QString& line) {
    QFile file(reportPath_);
    if (reportPath_.isEmpty() || !file.open(QIODevice::Append | QIODevice::WriteOnly)) return;
    file.write((line + '\n').toUtf8());
  }

  static void press(QWidget* widget, int key) {
    QWindow* window = widget->window()->windowHandle();
    if (!window) return;
    widget->activateWindow();
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &down);
    QCoreApplication::sendEvent(window, &up);
  }

  void look() {
    if (!qApp) return;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (!widget->isVisible() || !widget->windowHandle() || !widget->windowHandle()->isExposed())
        continue;
      if (auto* alert = qobject_cast<QMessageBox*>(widget);
          alert && alert->objectName() == QLatin1String("NSRunAlertPanel")) {
        if (!answered_.insert(alert).second) continue;
        QStringList buttons;
        for (QAbstractButton* button : alert->buttons()) buttons << button->text();
        report("alert " + escaped(alert->windowTitle()) + '\t' +
               escaped(alert->informativeText()) + '\t' + escaped(buttons.join('|')));
        // The answer comes from the event loop the alert runs, as a keystroke would.
        QPointer<QMessageBox> target(alert);
        QTimer::singleShot(20, alert, [target] {
          if (target) press(target, Qt::Key_Return);
        });
      } else if (!mainWindowSeen_ && !qobject_cast<QMessageBox*>(widget)) {
        mainWindowSeen_ = true;
        report(QStringLiteral("window-shown %1")
                   .arg(firstExposeAt_ ? firstExposeAt_ : monotonicNanoseconds()));
        if (key_ != 0) {
          QPointer<QWidget> target(widget);
          QTimer::singleShot(50, widget, [this, target] {
            if (target) press(target, key_);
          });
        }
      }
    }
  }

  int key_;
  QString reportPath_;
  QTimer poll_;
  bool mainWindowSeen_ = false;
  qint64 firstExposeAt_ = 0;
  std::set<QObject*> answered_;
};

}  // namespace

class KeyboardRobotPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "keyboard_robot.json")

 public:
  QObject* create(const QString& name, const QString& arguments) override {
    if (name.compare(QLatin1String("keyboardrobot"), Qt::CaseInsensitive) != 0) return nullptr;
    int key = 0;
    QString reportPath;
    for (const QString& part : arguments.split(';', Qt::SkipEmptyParts)) {
      if (part == QLatin1String("Return")) key = Qt::Key_Return;
      else if (part == QLatin1String("Escape")) key = Qt::Key_Escape;
      else if (part.startsWith(QLatin1String("report="))) reportPath = part.mid(7);
    }
    return new KeyboardRobot(key, reportPath);
  }
};

#include "keyboard_robot_plugin.moc"
