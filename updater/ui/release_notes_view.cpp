#include "updater/ui/release_notes_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace updater {

namespace {

// Qt presents a text browser as an editable text field. Release notes are a document to
// read: this gives it the document role and the text interface a screen reader reads with.
class ReleaseNotesAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit ReleaseNotesAccessible(ReleaseNotesView* view)
      : QAccessibleWidget(view, QAccessible::Document), view_(view) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
  }

  // Text. Offsets count characters of the plain text, a paragraph break being one.
  QString text(int start, int end) const override { return plainText().mid(start, end - start); }
  int characterCount() const override { return int(plainText().size()); }

  int cursorPosition() const override { return view_->textCursor().position(); }
  void setCursorPosition(int position) override {
    QTextCursor cursor = view_->textCursor();
    cursor.setPosition(clamped(position));
    view_->setTextCursor(cursor);
  }

  int selectionCount() const override { return view_->textCursor().hasSelection() ? 1 : 0; }
  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    const QTextCursor cursor = view_->textCursor();
    if (index != 0 || !cursor.hasSelection()) return;
    *start = cursor.selectionStart();
    *end = cursor.selectionEnd();
  }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int index) override {
    if (index != 0) return;
    QTextCursor cursor = view_->textCursor();
    cursor.clearSelection();
    view_->setTextCursor(cursor);
  }
  void setSelection(int index, int start, int end) override {
    if (index != 0) return;
    QTextCursor cursor = view_->textCursor();
    cursor.setPosition(clamped(start));
    cursor.setPosition(clamped(end), QTextCursor::KeepAnchor);
    view_->setTextCursor(cursor);
  }

  QRect characterRect(int offset) const override {
    QTextCursor cursor(view_->document());
    cursor.setPosition(clamped(offset));
    QRect rect = view_->cursorRect(cursor);
    const QString character = text(offset, offset + 1);
    rect.setWidth(character.isEmpty() ? 1 : view_->fontMetrics().horizontalAdvance(character));
    return QRect(view_->viewport()->mapToGlobal(rect.topLeft()), rect.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    return view_->cursorForPosition(view_->viewport()->mapFromGlobal(point)).position();
  }
  void scrollToSubstring(int start, int end) override {
    setSelection(0, start, end);
    view_->ensureCursorVisible();
  }
  QString attributes(int offset, int* start, int* end) const override {
    // No attributes: the whole text is one run.
    (void)offset;
    *start = 0;
    *end = characterCount();
    return {};
  }

 private:
  QString plainText() const { return view_->document()->toPlainText(); }
  int clamped(int offset) const { return qBound(0, offset, characterCount()); }

  ReleaseNotesView* view_;
};

QAccessibleInterface* releaseNotesAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("updater::ReleaseNotesView"))
    if (auto* view = qobject_cast<ReleaseNotesView*>(object)) return new ReleaseNotesAccessible(view);
  return nullptr;
}

}  // namespace

ReleaseNotesView::ReleaseNotesView(QWidget* parent) : QTextBrowser(parent) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(releaseNotesAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  setOpenLinks(false);  // follow no link
  setOpenExternalLinks(false);
  setAccessibleName(tr("Release Notes"));
}

QVariant ReleaseNotesView::loadResource(int type, const QUrl& name) {
  (void)type;
  (void)name;
  return {};
}

}  // namespace updater
