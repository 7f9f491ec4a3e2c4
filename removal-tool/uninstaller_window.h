// The removal tool's window: what a run will remove, with sizes, and the two commands.
#pragma once

#include <QDialog>
#include <QString>

#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class Uninstaller;

class UninstallerWindow : public QDialog {
  Q_OBJECT

 public:
  // `uninstaller` must outlive the window.
  explicit UninstallerWindow(Uninstaller& uninstaller, QWidget* parent = nullptr);

  QPushButton* uninstallButton() const { return uninstallButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

  // Escape and closing the window both mean cancel.
  void reject() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct ItemRow {
    std::optional<QString> presentPath;  // nothing when the run will find nothing there
    QLabel* sizeLabel = nullptr;
  };

  void addItemRows(class QGridLayout* grid);
  // Sizing walks whole trees, so it runs once the window has been painted.
  void showItemSizes();
  void startCommand();

  Uninstaller& uninstaller_;
  std::vector<ItemRow> rows_;
  QPushButton* uninstallButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  bool commandStarted_ = false;
  bool sizesRequested_ = false;
};
