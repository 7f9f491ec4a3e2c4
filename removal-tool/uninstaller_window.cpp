#include "uninstaller_window.h"

#include "disk_usage.h"
#include "item_list.h"
#include "foundation/path_utilities.h"
#include "uninstaller.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// "~/Library/..." reads better than the full path to the home folder.
QString pathForDisplay(const QString& path) {
  const QString home = QDir::homePath();
  if (!home.isEmpty() && home != QLatin1String("/") && path.startsWith(home + QLatin1Char('/')))
    return QLatin1Char('~') + path.mid(home.size());
  return path;
}

// Why the run will not remove what is at `path`.
QString absentItemText(const QString& path) {
  const QFileInfo info(path);
  if (info.isSymLink()) return UninstallerWindow::tr("a link, left in place");
  if (info.exists()) return UninstallerWindow::tr("not a folder, left in place");
  return UninstallerWindow::tr("not found");
}

}  // namespace

UninstallerWindow::UninstallerWindow(Uninstaller& uninstaller, QWidget* parent)
    : QDialog(parent), uninstaller_(uninstaller) {
  setObjectName(QStringLiteral("UninstallerWindow"));
  setWindowTitle(tr("Uninstall Quillane"));

  auto* heading = new QLabel(tr("Remove Quillane from Mail?"));
  QFont bold = heading->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  heading->setFont(bold);

  auto* explanation = new QLabel(
      tr("Mail will be asked to quit. These items are then deleted from your Library folder; "
         "they are not moved to the Trash."));
  explanation->setWordWrap(true);
  setAccessibleDescription(explanation->text());

  auto* items = new ItemList;
  items->setObjectName(QStringLiteral("itemList"));
  addItemRows(items);

  uninstallButton_ = new QPushButton(tr("Uninstall"));
  uninstallButton_->setObjectName(QStringLiteral("uninstallButton"));
  uninstallButton_->setDefault(true);  // Return
  cancelButton_ = new QPushButton(tr("Cancel"));
  cancelButton_->setObjectName(QStringLiteral("cancelButton"));
  cancelButton_->setAutoDefault(false);
  auto* buttons = new QDialogButtonBox;
  buttons->addButton(uninstallButton_, QDialogButtonBox::AcceptRole);
  buttons->addButton(cancelButton_, QDialogButtonBox::RejectRole);

  auto* waiting = new QLabel(tr("Waiting for an update of Quillane to finish…"));
  waiting->setObjectName(QStringLiteral("waitingLabel"));
  waiting->hide();
  connect(&uninstaller_, &Uninstaller::waitingForInstallation, waiting, &QLabel::show);

  connect(uninstallButton_, &QPushButton::clicked, this, [this] {
    startCommand();
    uninstaller_.uninstall(uninstallButton_);
  });
  connect(cancelButton_, &QPushButton::clicked, this, [this] {
    startCommand();
    uninstaller_.cancel(cancelButton_);
  });

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(10);
  layout->addWidget(heading);
  layout->addWidget(explanation);
  layout->addSpacing(6);
  layout->addWidget(items);
  layout->addSpacing(10);
  layout->addStretch();
  layout->addWidget(waiting);
  layout->addWidget(buttons);
  // A floor for the window's width that still lets longer rows (other languages, deeper
  // paths) widen it: a minimum set on the window itself would clip them instead.
  explanation->setMinimumWidth(520);
  uninstallButton_->setFocus();
}

void UninstallerWindow::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  if (!sizesRequested_) {
    sizesRequested_ = true;
    QTimer::singleShot(0, this, &UninstallerWindow::showItemSizes);
  }
}

void UninstallerWindow::addItemRows(ItemList* list) {
  for (const QString& library : uninstaller_.libraryDirectoriesInVisitOrder()) {
    for (const RemovalTarget& target : Uninstaller::targets()) {
      const QString path = foundation::stringByAppendingPathComponent(
          library, QString::fromUtf8(target.relativePath));
      const FoundItem found = uninstaller_.findItem(library, target);
      if (!found.path)
        addItemRow(list, tr(target.displayName), path, std::nullopt, absentItemText(path));
      else if (found.isLink)
        addItemRow(list, tr(target.displayName), path, std::nullopt,
                   tr("a link: only the link is removed"));
      else
        addItemRow(list, tr(target.displayName), *found.path, found.path, QString());
      for (const QString& remnant : found.remnants)
        addItemRow(list, tr(target.displayName), remnant, remnant,
                   tr("left over from an earlier removal"));
    }
  }
  if (rows_.empty())
    list->addNote(tr("Your Library folder could not be found; nothing will be removed."));
  list->alignColumns();
}

void UninstallerWindow::addItemRow(ItemList* list, const QString& name, const QString& path,
                                   const std::optional<QString>& sizedPath, const QString& note) {
  ListedItem item{sizedPath, note, list->addRow(name, pathForDisplay(path))};
  item.row->sizeLabel()->setObjectName(QStringLiteral("size%1").arg(rows_.size()));
  item.row->setSizeText(sizeText(item, tr("…")));
  rows_.push_back(item);
}

QString UninstallerWindow::sizeText(const ListedItem& item, const QString& size) {
  if (!item.sizedPath) return item.note;
  return item.note.isEmpty() ? size : tr("%1, %2").arg(item.note, size);
}

void UninstallerWindow::showItemSizes() {
  if (commandStarted_) return;  // the items may be gone already
  const QLocale locale;
  for (ListedItem& item : rows_) {
    if (!item.sizedPath) continue;
    const std::optional<std::uint64_t> bytes = diskUsageAtPath(*item.sizedPath);
    item.row->setSizeText(sizeText(
        item, bytes ? locale.formattedDataSize(qint64(*bytes), 1, QLocale::DataSizeTraditionalFormat)
                    : tr("size unknown")));
  }
}

void UninstallerWindow::startCommand() {
  commandStarted_ = true;
  uninstallButton_->setEnabled(false);
  cancelButton_->setEnabled(false);
}

void UninstallerWindow::reject() {
  if (commandStarted_) return;  // a run is under way and ends the tool itself
  startCommand();
  uninstaller_.cancel(this);
}
