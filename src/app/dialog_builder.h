// Turns a page template into widgets, with the dialog font and its base units.
#pragma once

#include <QDialog>
#include <QFont>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include "app/dialog_templates.h"

namespace tarv {

// The pages' font: SimSun at 10 points, falling back to the CJK-capable families Debian ships.
QFont DialogFont();

// The font's average character width (over the 52 Latin letters, rounded) and its height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// The object name of the control with `id`: its number ("1000"). Tests and accessibility tools
// find every control this way; controls without an id are named after their kind and row.
QString ControlName(int id);
// The object name of the control in `row` of a template: ControlName(id), or for a control
// without an id its kind and row ("picture-3").
QString ControlObjectName(const ControlTemplate& control, int row);

// Builds `page`'s controls from `dialog` in tab order, at their places in pixels, with
// `sidePicture` in the picture control, and gives the page its caption and fixed size.
void BuildDialog(QDialog& page, const DialogTemplate& dialog, const QPixmap& sidePicture);

// The control with `id` on `page`, or null.
template <typename Widget = QWidget>
Widget* FindControl(const QWidget& page, int id) {
    return page.findChild<Widget*>(ControlName(id));
}

// Centres `page` in the work area of its screen.
void CentreOnScreen(QWidget& page);

}  // namespace tarv
