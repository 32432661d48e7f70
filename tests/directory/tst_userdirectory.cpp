#include "TestSeams.h"
#include "app/SessionState.h"
#include "directory/UserDirectory.h"

#include <QListWidget>
#include <QTest>

using namespace wispline;

class TestUserDirectory : public QObject
{
    Q_OBJECT

    // Lists are written "l1|l2|l3", entries joined by ","; an empty name shows as "()".
    static void row(const char* name, const char* before, const char* message, const char* after,
                    const char* errorTitle = "")
    {
        QTest::newRow(name) << QString::fromUtf8(before) << QString::fromUtf8(message)
                            << QString::fromUtf8(after) << QString::fromUtf8(errorTitle);
    }

private slots:
    void update_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("errorTitle"); // empty: no box
        row("addresses go to their level", "||", "USRS~abc1~xyz3~ExitEnd", "abc||xyz");
        row("listed user kept, new one added", "|p|", "USRS~p2~q2~p2~ExitEnd", "|p,q|");
        row("own address skipped", "||", "USRS~ME2~abc2~ExitEnd", "|abc|");
        row("own name in other case or level added", "||", "USRS~me2~ME1~ExitEnd", "ME|me|");
        row("names compared with case", "abc||", "USRS~ABC1~ExitEnd", "ABC,abc||");
        row("one digit adds an empty name", "||", "USRS~2~ExitEnd", "|()|");
        row("other levels, empty fields ignored", "||", "USRS~~abc4~abc0~d1~~ExitEnd~", "d||");
        row("sorted without case", "||", "USRS~Zed1~bob1~Abc21~abc1~ExitEnd", "abc,Abc2,bob,Zed||");
        row("letters-only field stops adding", "||", "USRS~a1~xyz~d1~ExitEnd", "a||", "Add Users");
        row("non-ASCII digit is not a level", "||", "USRS~a\u0662~d1", "||", "Add Users");
        row("gone users removed", "abc,def|p,q|", "LGO~abc1~q2~ExitEnd", "def|p|");
        row("unlisted, other case, other level", "abc||", "LGO~zz1~ABC1~abc2~abc5", "abc||");
        row("own address removed", "|ME,p|", "LGO~ME2~ExitEnd", "|p|");
        row("letters-only field stops removing", "a,d||", "LGO~a1~bad~d1", "d||", "Remove Users");
    }
    void update()
    {
        QFETCH(QString, before);
        QFETCH(QString, message);
        QFETCH(QString, after);
        QFETCH(QString, errorTitle);
        test::Seams seams;
        resetSession();
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
        for (const QListWidget& l : lists) {
            QStringList names;
            for (int i = 0; i < l.count(); ++i)
                names << (l.item(i)->text().isEmpty() ? QStringLiteral("()") : l.item(i)->text());
            result << names.join(QLatin1Char(','));
        }
        QCOMPARE(result.join(QLatin1Char('|')), after);
        QCOMPARE(seams.boxes.lines(), errorTitle.isEmpty()
                                          ? QStringList()
                                          : QStringList{test::box(errorTitle, BoxIcon::Critical,
                                                                  "13\r\nType mismatch")});
        directory.clear();
        QCOMPARE(lists[0].count() + lists[1].count() + lists[2].count(), 0);
    }
};

QTEST_MAIN(TestUserDirectory)
#include "tst_userdirectory.moc"
