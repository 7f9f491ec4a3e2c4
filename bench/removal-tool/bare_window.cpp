// The start-up baseline: the least a Qt Widgets program does to show a dialog with two
// buttons.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QDialog window;
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel("Remove?"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &app, &QApplication::quit);
  QObject::connect(&window, &QDialog::rejected, &app, &QApplication::quit);
  layout->addWidget(buttons);
  window.show();
  return app.exec();
}
