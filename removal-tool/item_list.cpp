#include "item_list.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// A row is one list item whose name says it all; its labels stay out of the tree, or a
// screen reader would read them again one by one.
class ItemRowAccessible : public QAccessibleWidget {
 public:
  explicit ItemRowAccessible(QWidget* row) : QAccessibleWidget(row, QAccessible::ListItem) {}
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
};

QAccessibleInterface* itemListAccessibleFactory(const QString& className, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (!widget) return nullptr;
  if (className == QLatin1String("ItemRow")) return new ItemRowAccessible(widget);
  if (className == QLatin1String("ItemList")) return new QAccessibleWidget(widget, QAccessible::List);
  return nullptr;
}

void installAccessibleFactoryOnce() {
  static const bool installed = [] {
    QAccessible::installFactory(itemListAccessibleFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace

ItemRow::ItemRow(const QString& kind, const QString& place, QWidget* parent)
    : QWidget(parent), kind_(new QLabel(kind)), place_(new QLabel(place)), size_(new QLabel) {
  place_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  size_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(16);
  layout->addWidget(kind_);
  layout->addWidget(place_, 1);
  layout->addWidget(size_);
  updateAccessibleName();
}

void ItemRow::setSizeText(const QString& text) {
  size_->setText(text);
  updateAccessibleName();
}

void ItemRow::updateAccessibleName() {
  //: An item row as a screen reader reads it: what, where, and its size or why it stays.
  setAccessibleName(tr("%1, %2, %3").arg(kind_->text(), place_->text(), size_->text()));
}

ItemList::ItemList(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
  installAccessibleFactoryOnce();
  setAccessibleName(tr("Items to remove"));
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(6);
}

ItemRow* ItemList::addRow(const QString& kind, const QString& place) {
  auto* row = new ItemRow(kind, place, this);
  layout_->addWidget(row);
  rows_.push_back(row);
  return row;
}

void ItemList::addNote(const QString& text) {
  auto* note = new QLabel(text, this);
  note->setWordWrap(true);
  layout_->addWidget(note);
}

void ItemList::alignColumns() {
  int widest = 0;
  for (const ItemRow* row : rows_) widest = std::max(widest, row->kindLabel()->sizeHint().width());
  for (ItemRow* row : rows_) row->kindLabel()->setMinimumWidth(widest);
}
