#pragma once

#include <QString>

namespace appkit {

enum {
  NSAlertDefaultReturn = 1,
  NSAlertAlternateReturn = 0,
  NSAlertOtherReturn = -1,
  NSAlertErrorReturn = -2,  // not shown: no QApplication
};

// Shows a modal alert and returns when the user dismisses it, with the button pressed.
// The title is the window title and the bold heading; message is the body, shown verbatim
// as plain text (it is never read as a format or as markup). Each empty label shows no
// button; an empty default label shows "OK". Escape and closing the window choose the
// alternate button when there is one, else the default button.
// The panel is a QMessageBox whose objectName is "NSRunAlertPanel": its windowTitle() and
// text() are the title and informativeText() is the message, for tests to read.
int NSRunAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                    const QString& alternateButton, const QString& otherButton);

}  // namespace appkit
