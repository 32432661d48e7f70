#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "directory/PanelFixture.h"
#include "directory/SelectionPanel.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>

using namespace wispline;

class TestSelectionPanel : public QObject
{
    Q_OBJECT

    static void row(const char* name, const char* level, const char* script, const char* expected)
    {
        QTest::newRow(name) << QString::fromLatin1(level) << QString::fromLatin1(script)
                            << QString::fromLatin1(expected);
    }

private slots:
    void init()
    {
        QStandardPaths::setTestModeEnabled(true);
        resetSession();
        QFile::remove(settings::filePath());
    }

    // Lists: a,b,c | (nameless),p,q,r | x,y,z.
    void rules_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        row("level2 clicks toggle", "1", "c2:p c2:q c2:p", "sel1=;sel2=q;sel3=;cur=-/p/-;chk=000");
        row("level3 click clears level2", "1", "c2:p c3:x", "sel1=;sel2=;sel3=x;cur=-/-/x;chk=000");
        row("level2 click clears 1 and 3", "1", "c1:a c3:x c2:p",
            "sel1=;sel2=p;sel3=;cur=-/p/-;chk=000");
        row("level1 click keeps level2 current", "1", "c2:p c1:a",
            "sel1=a;sel2=;sel3=;cur=a/p/-;chk=000");
        row("level2 user accumulates level1", "2", "c1:a c1:b",
            "sel1=a,b;sel2=;sel3=;cur=b/-/-;chk=000");
        row("level3 user keeps last level1 only", "3", "c1:a c1:b c1:c",
            "sel1=c;sel2=;sel3=;cur=c/-/-;chk=000");
        row("all level2 selects level2, unchecks all level3", "1", "c3:x k3 k2",
            "sel1=;sel2=,p,q,r;sel3=;cur=-/-/x;chk=100");
        row("all level3 unchecks the other two", "1", "c2:p kS k2 k3",
            "sel1=;sel2=;sel3=x,y,z;cur=-/p/-;chk=010");
        row("level2 click under all level2 ends empty", "1", "k2 c2:q",
            "sel1=;sel2=;sel3=;cur=-/q/-;chk=000");
        row("the click after that selects", "1", "k2 c2:q c2:r",
            "sel1=;sel2=r;sel3=;cur=-/r/-;chk=000");
        row("level1 click under all level3 ends empty", "3", "k3 c1:a",
            "sel1=;sel2=;sel3=;cur=a/-/-;chk=000");
        row("unchecking clears every list", "1", "c1:a k3 k3",
            "sel1=;sel2=;sel3=;cur=a/-/-;chk=000");
        row("level2 clicks keep selected-level2 box", "1", "c2:p kS c2:r",
            "sel1=;sel2=p,r;sel3=;cur=-/r/-;chk=001");
        row("unchecking selected-level2 clears", "1", "c2:p kS kS",
            "sel1=;sel2=;sel3=;cur=-/p/-;chk=000");
        row("level3 click under selected-level2", "1", "c2:p kS c3:x",
            "sel1=;sel2=;sel3=;cur=-/-/x;chk=000");
        row("nameless entry runs no rule", "1",
            "k3 c2:", "sel1=;sel2=;sel3=x,y,z;cur=-//-;chk=010");
        // Every selection change by mouse or keys runs the rule, not only a plain click.
        row("drag over level2 clears level1", "1", "c1:a d2:p-r",
            "sel1=;sel2=p,q,r;sel3=;cur=-/r/-;chk=000");
        row("drag over level3 unchecks all level2", "1", "k2 d3:x-y",
            "sel1=;sel2=;sel3=x,y;cur=-/-/y;chk=000");
        row("keys in level2 clear level1", "1", "c1:a K2:Down K2:Down K2:Space",
            "sel1=;sel2=p;sel3=;cur=-/p/-;chk=000");
        row("level3 user, keys in level1 keep one", "3", "c1:a K1:Down K1:Space",
            "sel1=b;sel2=;sel3=;cur=b/-/-;chk=000");
        row("no select-all key", "1", "c1:a K2:Ctrl+A", "sel1=a;sel2=;sel3=;cur=a/-/-;chk=000");
    }
    void rules()
    {
        QFETCH(QString, level);
        QFETCH(QString, script);
        QFETCH(QString, expected);
        session().UserLevel = level;
        test::Seams seams;
        test::PanelFixture f(QStringLiteral("a,b,c|,p,q,r|x,y,z"));
        SelectionPanel panel(f.c);
        QVERIFY(f.show());
        f.run(script);
        QCOMPARE(f.state(), expected);
        QCOMPARE(seams.boxes.count(), 0);
    }

    // A current entry decides which list a send reads, so gaining focus must not make one.
    void focusMakesNoEntryCurrent()
    {
        test::PanelFixture f(QStringLiteral("a,b|p|x"));
        SelectionPanel panel(f.c);
        QVERIFY(f.show()); // activation focuses the first list
        f.c.lstLevel1->item(1)->setSelected(true);
        for (int level : {1, 2, 3, 1}) {
            f.list(level)->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(f.list(level)->hasFocus());
        }
        QCOMPARE(f.state(), QStringLiteral("sel1=b;sel2=;sel3=;cur=-/-/-;chk=000"));
    }

    void restoreSelection_data()
    {
        QTest::addColumn<bool>("startOn");
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("stored");
        QTest::newRow("off, chosen once") << false << 1 << "True";
        QTest::newRow("off, chosen twice") << false << 2 << "False";
        QTest::newRow("on, chosen once") << true << 1 << "False";
    }
    void restoreSelection()
    {
        QFETCH(bool, startOn);
        QFETCH(int, times);
        QFETCH(QString, stored);
        test::PanelFixture f(QStringLiteral("||"));
        SelectionPanel panel(f.c);
        session().RestoreSelectionOn = startOn;
        f.c.mnuRestoreSelection->setChecked(startOn);
        for (int i = 0; i < times; ++i)
            f.c.mnuRestoreSelection->trigger();
        QCOMPARE(settings::get(settings::kSelection), stored);
        QCOMPARE(session().RestoreSelectionOn, stored == QLatin1String("True"));
        QCOMPARE(f.c.mnuRestoreSelection->isChecked(), session().RestoreSelectionOn);
    }
};

QTEST_MAIN(TestSelectionPanel)
#include "tst_selectionpanel.moc"
