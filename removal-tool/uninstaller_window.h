// The removal tool's window: what a run will remove, with sizes, and the two commands.
#pragma once

#include <QDialog>
#include <QString>

#include <optional>
#include <vector>

class ItemList;
class ItemRow;
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
  struct ListedItem {
    std::optional<QString> sizedPath;  // what the run deletes and the row sizes, if anything
    QString note;                      // what the row says besides the size
    ItemRow* row = nullptr;
  };

  void addItemRows(ItemList* list);
  void addItemRow(ItemList* list, const QString& name, const QString& path,
                  const std::optional<QString>& sizedPath, const QString& note);
  static QString sizeText(const ListedItem& item, const QString& size);
  // Sizing walks whole trees, so it runs once the window has been painted.
  void showItemSizes();
  void startCommand();

  Uninstaller& uninstaller_;
  std::vector<ListedItem> rows_;
  QPushButton* uninstallButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  bool commandStarted_ = false;
  bool sizesRequested_ = false;
};
