// The level lists: who is listed, and the selection rules a send reads.
#include "TestSeams.h"
#include "WidgetProbes.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "directory/PanelFixture.h"
#include "directory/SelectionPanel.h"
#include "directory/UserDirectory.h"

#include <QFile>
#include <QListWidget>
#include <QStandardPaths>
#include <QTest>

using namespace wispline;

class TestDirectory : public QObject
{
    Q_OBJECT

    inline static const QRegularExpression kEmpty{QStringLiteral("^$")};

    static void row(const char* name, const char* level, const char* script, const char* expected)
    {
        QTest::newRow(name) << QString::fromLatin1(level) << QString::fromLatin1(script)
                            << QString::fromLatin1(expected);
    }

    // Lists are written "l1|l2|l3", entries joined by ","; an empty name shows as "()".
    static void listRow(const char* name, const char* before, const char* message,
                        const char* after, const char* errorTitle = "")
    {
        QTest::newRow(name) << QString::fromUtf8(before) << QString::fromUtf8(message)
                            << QString::fromUtf8(after) << QString::fromUtf8(errorTitle);
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
        row("right and middle clicks select nothing", "3", "c1:a r1:b m2:p r3:x",
            "sel1=a;sel2=;sel3=;cur=a/-/-;chk=000");
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

    // The menu item toggles and stores the choice each time.
    void restoreSelectionMenu()
    {
        test::PanelFixture f(QStringLiteral("||"));
        SelectionPanel panel(f.c);
        for (const bool on : {true, false}) {
            f.c.mnuRestoreSelection->trigger();
            QCOMPARE(settings::get(settings::kSelection),
                     QString::fromLatin1(on ? "True" : "False"));
            QCOMPARE(session().RestoreSelectionOn, on);
            QCOMPARE(f.c.mnuRestoreSelection->isChecked(), on);
        }
    }

    // The lists kept from the server's user messages.
    void update_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("errorTitle"); // empty: no box
        listRow("addresses go to their level", "||", "USRS~abc1~xyz3~ExitEnd", "abc||xyz");
        listRow("listed user kept, new one added", "|p|", "USRS~p2~q2~p2~ExitEnd", "|p,q|");
        listRow("own address skipped", "||", "USRS~ME2~abc2~ExitEnd", "|abc|");
        listRow("own name in other case or level added", "||", "USRS~me2~ME1~ExitEnd", "ME|me|");
        listRow("names compared with case", "abc||", "USRS~ABC1~ExitEnd", "ABC,abc||");
        listRow("one digit adds an empty name", "||", "USRS~2~ExitEnd", "|()|");
        listRow("other levels, empty fields ignored", "||", "USRS~~abc4~abc0~d1~~ExitEnd~", "d||");
        listRow("sorted without case", "||", "USRS~Zed1~bob1~Abc21~abc1~ExitEnd",
                "abc,Abc2,bob,Zed||");
        listRow("letters-only field stops adding", "||", "USRS~a1~xyz~d1~ExitEnd", "a||",
                "Add Users");
        listRow("non-ASCII digit is not a level", "||", "USRS~a\u0662~d1", "||", "Add Users");
        listRow("gone users removed", "abc,def|p,q|", "LGO~abc1~q2~ExitEnd", "def|p|");
        listRow("unlisted, other case, other level", "abc||", "LGO~zz1~ABC1~abc2~abc5", "abc||");
        listRow("own address removed", "|ME,p|", "LGO~ME2~ExitEnd", "|p|");
        listRow("letters-only field stops removing", "a,d||", "LGO~a1~bad~d1", "d||",
                "Remove Users");
    }
    void update()
    {
        QFETCH(QString, before);
        QFETCH(QString, message);
        QFETCH(QString, after);
        QFETCH(QString, errorTitle);
        test::Seams seams;
        session().UserName = QStringLiteral("ME");
        session().UserLevel = QStringLiteral("2");
        QListWidget lists[3];
        for (int i = 0; i < 3; ++i) {
            configureLevelList(&lists[i]);
            const QString names = before.section(QLatin1Char('|'), i, i);
            if (!names.isEmpty())
                lists[i].addItems(names.split(QLatin1Char(',')));
        }
        UserDirectory directory(&lists[0], &lists[1], &lists[2]);
        if (message.startsWith(QLatin1String("USRS")))
            directory.AddUsers(message);
        else
            directory.RemoveUsers(message);

        QStringList result;
        for (const QListWidget& l : lists)
            result << test::listTexts(&l).replaceInStrings(kEmpty, QStringLiteral("()")).join(u',');
        QCOMPARE(result.join(QLatin1Char('|')), after);
        QCOMPARE(seams.boxes.lines(), errorTitle.isEmpty()
                                          ? QStringList()
                                          : QStringList{test::box(errorTitle, BoxIcon::Critical,
                                                                  "13\r\nType mismatch")});
        directory.clear();
        QCOMPARE(lists[0].count() + lists[1].count() + lists[2].count(), 0);
    }
};

QTEST_MAIN(TestDirectory)
#include "tst_directory.moc"
