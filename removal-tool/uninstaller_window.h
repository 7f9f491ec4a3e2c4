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
    std::optional<QString> sizedPath;  // what the run deletes and the row sizes, if anything
    QString note;                      // what the row says besides the size
    QLabel* sizeLabel = nullptr;
  };

  void addItemRows(class QGridLayout* grid);
  void addItemRow(class QGridLayout* grid, const QString& name, const QString& path,
                  const std::optional<QString>& sizedPath, const QString& note);
  static QString sizeText(const ItemRow& item, const QString& size);
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
