// The window's chrome: the About item, the icons and where the icon of the minimised window goes.
#pragma once

#include <QIcon>
#include <QPoint>
#include <QString>

#include "ui/resource.h"

class QAction;
class QMenu;
class QWidget;

namespace wick::ui {

// The text of a string resource; empty for a number that has none.
QString LoadString(int id);

// True for the About command, whatever the system put in its low four bits.
constexpr bool IsAboutCommand(unsigned id) {
  return (id & 0xFFF0) == ID_ABOUT_CMD;
}

// Appends a separator and the About item (command ID_ABOUT_CMD, in the action's data) to the
// window menu; with an empty text, neither. The action, or null.
QAction* AddAboutItem(QMenu& menu, const QString& text);

// The icon group IDR_APPICON: 32 and 16 pixels.
QIcon AppIcon();

// Where the icon is drawn in a minimised window's client area: centred, the halves truncated
// toward zero, so a client area narrower than the icon gives 0 or less.
constexpr QPoint IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
  return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

// A control's id, as the tests and the window itself find it: objectName and property "controlId".
void SetControlId(QWidget& control, int id);

}  // namespace wick::ui
