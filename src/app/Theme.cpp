#include "app/Theme.h"

#include "app/Accessibility.h"
#include "app/SessionState.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

namespace wispline
{

FrameBox::FrameBox(QWidget* parent) : QFrame(parent)
{
    // A container, not a window's frame, to a screen reader.
    setAccessibleRole(this, QAccessible::Grouping);
    setFrameShape(QFrame::NoFrame);
}

QColor colorFromBgr(std::uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

namespace
{

void setColours(QWidget* w, const QColor* back, const QColor* fore, bool asInput)
{
    QPalette p = w->palette();
    if (back) {
        p.setColor(asInput ? QPalette::Base : QPalette::Window, *back);
        p.setColor(QPalette::Button, *back);
        if (!asInput)
            w->setAutoFillBackground(true);
    }
    if (fore) {
        p.setColor(QPalette::WindowText, *fore);
        p.setColor(QPalette::Text, *fore);
        p.setColor(QPalette::ButtonText, *fore);
    }
    w->setPalette(p);
}

void setFont(QWidget* w, bool bold)
{
    QFont f = w->font();
    f.setFamily(QStringLiteral("MS Sans Serif"));
    f.setPointSize(8);
    if (bold)
        f.setBold(true);
    w->setFont(f);
}

} // namespace

void ApplyTheme(const QList<QWidget*>& controls)
{
    const QColor back = colorFromBgr(session().ThemeBackColor);
    const QColor fore = colorFromBgr(session().ThemeForeColor);
    for (QWidget* w : controls) {
        if (qobject_cast<QCheckBox*>(w)) {
            setColours(w, &back, &fore, false);
            setFont(w, false);
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            setColours(combo, &back, &fore, true);
            setFont(combo, true);
        } else if (qobject_cast<FrameBox*>(w)) {
            setColours(w, &back, &fore, false);
            setFont(w, false);
        } else if (qobject_cast<QLabel*>(w)) {
            setColours(w, &back, &fore, false);
            setFont(w, false);
        } else if (qobject_cast<QLineEdit*>(w)) {
            setColours(w, &back, &fore, true);
            setFont(w, false);
            // A dark box on a dark window needs a visible edge to be found at all. A disabled
            // box greys its text, as the system does, so it does not look ready for typing.
            const QColor greyed =
                QApplication::palette(w).color(QPalette::Disabled, QPalette::Text);
            w->setStyleSheet(QStringLiteral("QLineEdit { background: %1; color: %2; "
                                            "border: 1px solid #808080; } "
                                            "QLineEdit:disabled { color: %3; }")
                                 .arg(back.name(), fore.name(), greyed.name()));
        } else if (qobject_cast<QRadioButton*>(w)) {
            setColours(w, &back, &fore, false);
        } else if (qobject_cast<QPushButton*>(w)) {
            // Command buttons take the fore colour as their background: orange, bold. A button
            // has no text colour of its own: its text keeps the system's button text colour,
            // not the fore colour a themed frame around it would hand down.
            QPalette p = w->palette();
            p.setColor(QPalette::Button, fore);
            const QPalette system = QApplication::palette(w);
            for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                p.setColor(group, QPalette::ButtonText, system.color(group, QPalette::ButtonText));
            w->setPalette(p);
            setFont(w, true);
        }
    }
}

void applyThemeToWindow(QWidget* window)
{
    ApplyTheme(window->findChildren<QWidget*>());
    const QColor back = colorFromBgr(session().ThemeBackColor);
    const QColor fore = colorFromBgr(session().ThemeForeColor);
    QPalette p = window->palette();
    p.setColor(QPalette::Window, back);
    p.setColor(QPalette::WindowText, fore);
    window->setPalette(p);
    window->setAutoFillBackground(true);
}

} // namespace wispline
