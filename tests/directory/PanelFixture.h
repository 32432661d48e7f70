#pragma once
// Real panel widgets in a shown window so clicks land on entries, a one-line view of the
// panel's state, and a small script language for user actions.
#include "directory/RecipientControls.h"
#include "directory/UserDirectory.h"

#include <QAction>
#include <QCheckBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QVBoxLayout>

namespace wispline::test
{

struct PanelFixture {
    QWidget window;
    RecipientControls c;

    // Entries per level, e.g. "a,b|p,q|x"; ",p" holds a nameless entry.
    explicit PanelFixture(const QString& lists)
    {
        auto* layout = new QVBoxLayout(&window);
        QListWidget** all[] = {&c.lstLevel1, &c.lstLevel2, &c.lstLevel3};
        for (int i = 0; i < 3; ++i) {
            *all[i] = new LevelList;
            configureLevelList(*all[i]);
            const QString names = lists.section(QLatin1Char('|'), i, i);
            if (!names.isEmpty())
                (*all[i])->addItems(names.split(QLatin1Char(',')));
            layout->addWidget(*all[i]);
        }
        c.chkAllLevel2 = new QCheckBox(QStringLiteral("All Level2 Users"));
        c.chkAllLevel3 = new QCheckBox(QStringLiteral("All Level3 Users"));
        c.chkAllSelectedLevel2 = new QCheckBox(QStringLiteral("All Users under Selected Level2"));
        c.txtSendData = new QLineEdit;
        c.cmdSend = new QPushButton(QStringLiteral("&Send"));
        c.RTBox = new QTextEdit;
        for (QWidget* w :
             std::initializer_list<QWidget*>{c.chkAllLevel2, c.chkAllLevel3, c.chkAllSelectedLevel2,
                                             c.txtSendData, c.cmdSend, c.RTBox})
            layout->addWidget(w);
        c.mnuRestoreSelection = new QAction(QStringLiteral("Restore Selection"), &window);
        window.resize(300, 700);
    }

    bool show()
    {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }

    QListWidget* list(int level) const
    {
        return level == 1 ? c.lstLevel1 : level == 2 ? c.lstLevel2 : c.lstLevel3;
    }

    // "c2:p" clicks entry p of lstLevel2; "d2:p-r" drags over lstLevel2 from p to r; "K2:Down"
    // types the key into lstLevel2; "k2", "k3", "kS" click the group boxes; "r2:p" and "m2:p"
    // click p with the right and the middle button.
    void run(const QString& script)
    {
        for (const QString& step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (step.startsWith(QLatin1Char('k'))) {
                (step == QLatin1String("k2")   ? c.chkAllLevel2
                 : step == QLatin1String("k3") ? c.chkAllLevel3
                                               : c.chkAllSelectedLevel2)
                    ->click();
                continue;
            }
            QListWidget* l = list(step.mid(1, 1).toInt());
            if (step.startsWith(QLatin1Char('K'))) {
                const QKeyCombination key = QKeySequence::fromString(step.mid(3))[0];
                QTest::keyClick(l, key.key(), key.keyboardModifiers());
                continue;
            }
            const auto at = [&](const QString& name, QPoint* point) {
                const auto found = l->findItems(name, Qt::MatchExactly);
                if (found.size() == 1)
                    *point = l->visualItemRect(found.first()).center();
                return found.size() == 1;
            };
            const QString names = step.mid(3);
            QPoint from, to;
            QVERIFY2(at(names.section(QLatin1Char('-'), 0, 0), &from), qPrintable(step));
            if (step.startsWith(QLatin1Char('d'))) {
                QVERIFY2(at(names.section(QLatin1Char('-'), 1), &to), qPrintable(step));
                QTest::mousePress(l->viewport(), Qt::LeftButton, {}, from);
                for (int i = 1; i <= 4; ++i)
                    QTest::mouseMove(l->viewport(), from + (to - from) * i / 4);
                QTest::mouseRelease(l->viewport(), Qt::LeftButton, {}, to);
                continue;
            }
            const Qt::MouseButton button = step.startsWith(QLatin1Char('r'))   ? Qt::RightButton
                                           : step.startsWith(QLatin1Char('m')) ? Qt::MiddleButton
                                                                               : Qt::LeftButton;
            QTest::mouseClick(l->viewport(), button, {}, from);
        }
    }

    // E.g. "sel1=a;sel2=p,q;sel3=;cur=a/p/-;chk=000" (All Level2, All Level3, Selected).
    QString state() const
    {
        QString s;
        QString cur = QStringLiteral(";cur=");
        for (int level = 1; level <= 3; ++level) {
            QStringList names;
            for (int i = 0; i < list(level)->count(); ++i) {
                if (list(level)->item(i)->isSelected())
                    names << list(level)->item(i)->text();
            }
            s += QStringLiteral("sel%1=%2;").arg(level).arg(names.join(QLatin1Char(',')));
            const QListWidgetItem* item = list(level)->currentItem();
            cur +=
                (item ? item->text() : QStringLiteral("-")) + QLatin1String(level < 3 ? "/" : "");
        }
        s.chop(1);
        cur += QStringLiteral(";chk=");
        for (const QCheckBox* b : {c.chkAllLevel2, c.chkAllLevel3, c.chkAllSelectedLevel2})
            cur += QLatin1Char(b->isChecked() ? '1' : '0');
        return s + cur;
    }
};

} // namespace wispline::test
