// The list of what a removal run deletes, one row per item: its kind, where it is, and its
// size or why it stays. A screen reader reads each row as one list item
// ("Plug-in, ~/Library/Mail/Bundles/Quillane.mailbundle, 480 KB"), not as three labels.
#pragma once

#include <QString>
#include <QWidget>

#include <vector>

class QLabel;
class QVBoxLayout;

class ItemRow : public QWidget {
  Q_OBJECT

 public:
  ItemRow(const QString& kind, const QString& place, QWidget* parent = nullptr);

  QLabel* kindLabel() const { return kind_; }
  QLabel* sizeLabel() const { return size_; }
  void setSizeText(const QString& text);

 private:
  void updateAccessibleName();

  QLabel* kind_;
  QLabel* place_;
  QLabel* size_;
};

class ItemList : public QWidget {
  Q_OBJECT

 public:
  explicit ItemList(QWidget* parent = nullptr);

  ItemRow* addRow(const QString& kind, const QString& place);
  // Shown instead of rows when there is nothing to list.
  void addNote(const QString& text);
  // Lines the rows' columns up; call once the rows are added.
  void alignColumns();

 private:
  QVBoxLayout* layout_;
  std::vector<ItemRow*> rows_;
};
