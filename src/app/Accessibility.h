#pragma once
// What a screen reader is told about the windows beyond what Qt works out for itself: the roles
// of the plain windows and frames, and the names and descriptions of the controls.
#include <QAccessible>
#include <QString>

class QWidget;

namespace wispline
{

// Gives `widget` the accessible `role` (a plain window as a dialog, a frame as a panel). Call it
// in the widget's constructor, before assistive technology has asked about the widget.
void setAccessibleRole(QWidget* widget, QAccessible::Role role);

// The name a screen reader speaks for `widget` and, where the caption does not say it all, the
// description it reads after the name.
void setAccessibleText(QWidget* widget, const QString& name, const QString& description = {});

} // namespace wispline
