// Sending from the compose box, and F2 replies that select the sender in the lists.
#include "FakeLink.h"
#include "TestSeams.h"
#include "WidgetProbes.h"
#include "app/SessionState.h"
#include "directory/PanelFixture.h"
#include "directory/SelectionPanel.h"
#include "messaging/MessageSender.h"
#include "messaging/ReplyLocator.h"

#include <QTest>
#include <QTextCursor>

using namespace wispline;

namespace
{
const char* const kNoDestination = "Send Data|Cannot Send Data. Destination not selected.";
const QString kArea =
    QStringLiteral("bob >> hi [To ME]\n\n Abc said dup, me, pat, xen, abc >> there");
const char* const kNotFound = "User is not exisitng or is not Connected.\r\nCannot send reply.";
const char* const kKept = "sel1=ann;sel2=;sel3=;cur=ann/-/-;chk=000";

// The panel's lists, a recording link, the sender and the F2 reply on the message area.
struct Bench {
    test::Seams seams;
    test::PanelFixture f;
    test::FakeLink link;
    SelectionPanel panel{f.c};
    MessageSender sender{f.c, panel, &link};
    ReplyLocator reply{panel};

    explicit Bench(const QString& lists = QStringLiteral("a,b,c|p,q,r|x,y,z")) : f(lists)
    {
        f.c.RTBox->installEventFilter(&reply);
    }
    QString area() const { return f.c.RTBox->toPlainText(); }
    QStringList boxes() const
    {
        QStringList all;
        for (const BoxRequest& r : seams.boxes.shown)
            all << r.title + QLatin1Char('|') + r.text;
        return all;
    }
    // Selects `part` of kArea (nothing when empty) and presses F2.
    void f2(const QString& part)
    {
        QTextCursor cursor(f.c.RTBox->document());
        if (!part.isEmpty()) {
            cursor.setPosition(int(kArea.indexOf(part)));
            cursor.setPosition(int(kArea.indexOf(part) + part.size()), QTextCursor::KeepAnchor);
        }
        f.c.RTBox->setTextCursor(cursor);
        QTest::keyClick(f.c.RTBox, Qt::Key_F2);
    }
};

// The F2 bench: the nameless Level 3 entry must not match an empty selection.
struct ReplyBench : Bench {
    ReplyBench() : Bench(QStringLiteral("ann,bob,dup|abc,dup,me,pat|,xen,yul"))
    {
        session().UserName = QStringLiteral("ME");
        f.c.RTBox->setPlainText(kArea);
    }
};

// `wire` empty: nothing sent; `box` is "title|text" or empty; `link`: 1 connected, 0 not,
// 2 connected but the write fails.
void row(const char* name, const char* script, const char* text, const char* wire, const char* area,
         const char* box = "", int link = 1)
{
    QTest::newRow(name) << QString::fromLatin1(script) << QString::fromUtf8(text) << link
                        << QString::fromLatin1(wire) << QString::fromLatin1(area)
                        << QString::fromLatin1(box);
}

// `wire` is what a following Enter in the compose box sends, empty when not tried.
void replyRow(const char* name, const char* script, const char* selection, const char* box,
              const char* expected, const char* wire = "")
{
    QTest::newRow(name) << QString::fromLatin1(script) << QString::fromLatin1(selection)
                        << QString::fromLatin1(box) << QString::fromLatin1(expected)
                        << QString::fromLatin1(wire);
}
} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetSession();
        session().UserName = QStringLiteral("ABC");
        session().UserLevel = QStringLiteral("1");
    }

    void send_data()
    {
        for (const char* column : {"script", "text"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<int>("link");
        for (const char* column : {"wire", "area", "box"})
            QTest::addColumn<QString>(column);
        row("level2 entries in list order", "c2:q c2:p", "hi", "SND~ABC1~hi~p2,q2~NOONE",
            "ABC >> hi [To p,q]\n\n");
        row("outer spaces only trimmed", "c2:p", "  \thi  you  ", "SND~ABC1~\thi  you~p2~NOONE",
            "ABC >> \thi  you [To p]\n\n");
        row("level1 before level2 current", "c2:p c1:c c1:a", "hi", "SND~ABC1~hi~a1,c1~NOONE",
            "ABC >> hi [To a,c]\n\n");
        row("all level2 by group code", "k2", "hi", "SND~ABC1~hi~NOONE~L2A",
            "ABC >> hi [To All Level2 Users]\n\n");
        row("all level3 by group code", "c1:a k3", "hi", "SND~ABC1~hi~NOONE~L3A",
            "ABC >> hi [To All Level3 Users]\n\n");
        row("selected level2 with selection", "c2:p kS", "hi", "SND~ABC1~hi~p2~L2S",
            "ABC >> hi [To p]\n\n");
        row("selected level2, current unselected", "c2:p c2:p kS", "hi", "SND~ABC1~hi~NOONE~L2S",
            "ABC >> hi [To ]\n\n");
        row("selected level2 without current", "kS", "hi", "", "",
            "Select Level2 User|Select the Level2 user under whom the data has to be sent.");
        row("level1 entry clicked twice", "c3:x c1:a c1:a", "hi", "", "", kNoDestination);
        row("nothing selected", "", "hi", "", "", kNoDestination);
        row("only spaces", "c2:p", "   ", "", "");
        row("separator past the box refused", "c2:p", "a~b", "", "",
            "Invalid Key|Tilde (~) key not allowed");
        row("first separator names the box", "c2:p", "a`b~c", "", "",
            "Invalid Key|Quote (`) key not allowed");
        row("connection lost", "c1:a c1:b", " hello ", "",
            "Connection To Server Lost. Message (ABC >> hello [To a,b] ) Cannot Be Sent.\n\n", "",
            0);
        row("write fails: not echoed as sent", "c1:a", "hello", "",
            "Connection To Server Lost. Message (ABC >> hello [To a] ) Cannot Be Sent.\n\n", "", 2);
        row("outside the code page: echoed as sent", "c2:p", "ok \u2713 \U0001F600 \u0436",
            "SND~ABC1~ok ? ? ?~p2~NOONE", "ABC >> ok ? ? ? [To p]\n\n");
    }
    void send()
    {
        QFETCH(QString, script);
        QFETCH(QString, text);
        QFETCH(int, link);
        QFETCH(QString, wire);
        QFETCH(QString, area);
        QFETCH(QString, box);
        Bench b;
        QVERIFY(b.f.show());
        b.link.connected = link != 0;
        b.link.writeFails = link == 2;
        b.f.run(script);
        const QString before = b.f.state();
        b.f.c.txtSendData->setValidator(nullptr); // as if the text got past the box's filter
        b.f.c.txtSendData->setText(text);
        b.f.c.RTBox->setFocus();
        b.sender.cmdSend_Click();

        QCOMPARE(b.link.sent, wire.isEmpty() ? QStringList() : QStringList{wire});
        QCOMPARE(b.area(), area);
        QCOMPARE(b.boxes(), box.isEmpty() ? QStringList() : QStringList{box});
        if (!area.isEmpty())
            QCOMPARE(test::colourOf(b.f.c.RTBox, area.left(2)),
                     link == 1 ? QColor(0, 0, 0) : QColor(255, 0, 0));
        if (wire.isEmpty()) { // text and selection stay for another try
            QCOMPARE(b.f.c.txtSendData->text(), text);
            QCOMPARE(b.f.state(), before);
        } else {
            QVERIFY(b.f.c.txtSendData->text().isEmpty() &&
                    b.f.state().startsWith(QLatin1String("sel1=;sel2=;sel3=;")) &&
                    b.f.state().endsWith(QLatin1String("chk=000")));
        }
        if (text.trimmed().isEmpty() || !wire.isEmpty())
            QTRY_VERIFY(b.f.c.txtSendData->hasFocus());
        if (box.startsWith(QLatin1String("Select Level2")))
            QTRY_VERIFY(b.f.c.lstLevel2->hasFocus());
    }

    void restoreSelection_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::addColumn<QString>("second");
        QTest::newRow("kept for the next message") << true << "SND~ABC1~two~q2~L2S";
        QTest::newRow("cleared after each message") << false << "";
    }
    void restoreSelection()
    {
        QFETCH(bool, restore);
        QFETCH(QString, second);
        Bench b;
        QVERIFY(b.f.show());
        session().RestoreSelectionOn = restore;
        b.f.run(QStringLiteral("c2:q kS"));
        for (const char* text : {"one", "two"}) {
            b.f.c.txtSendData->setText(QString::fromLatin1(text));
            b.sender.cmdSend_Click();
        }
        QCOMPARE(b.link.sent.value(0), QStringLiteral("SND~ABC1~one~q2~L2S"));
        QCOMPARE(b.link.sent.value(1), second);
        QCOMPARE(b.boxes(), restore ? QStringList() : QStringList{kNoDestination});
    }

    // Sending yields to the event loop; an Enter handled there must not send the text twice.
    void sendIsNotReentered()
    {
        Bench b;
        QVERIFY(b.f.show());
        b.f.c.lstLevel2->setCurrentRow(0, QItemSelectionModel::Select);
        b.f.c.txtSendData->setText(QStringLiteral("once"));
        b.link.duringSend = [&b] { QTest::keyClick(b.f.c.txtSendData, Qt::Key_Return); };
        QTest::mouseClick(b.f.c.cmdSend, Qt::LeftButton);
        QCOMPARE(b.link.sent, QStringList{"SND~ABC1~once~p2~NOONE"});
        QCOMPARE(b.area(), QStringLiteral("ABC >> once [To p]\n\n"));
    }

    void composeBox()
    {
        Bench b;
        QLineEdit* box = b.f.c.txtSendData;
        // The separator filter is installed (its cases are the log-on tests' rows).
        QTest::keyClicks(box, QString(999, QLatin1Char('m')) + QStringLiteral("~xy"));
        QCOMPARE(box->text(), QString(999, QLatin1Char('m')) + QLatin1Char('x'));
        QCOMPARE(b.boxes(), QStringList{"Invalid Key|Tilde (~) key not allowed"});
        b.f.c.lstLevel3->setCurrentRow(0, QItemSelectionModel::Select);
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(b.link.sent, QStringList{"SND~ABC1~" + QString(999, 'm') + "x~x3~NOONE"});
    }

    // F2 replies.
    void f2_data()
    {
        for (const char* column : {"script", "selection", "box", "expected", "wire"})
            QTest::addColumn<QString>(column);
        replyRow("nothing selected", "c1:ann", "", kNotFound, kKept);
        replyRow("own name in the same case", "c1:ann", "ME", "Cannot send message to Self.",
                 kKept);
        replyRow("more than the name", "c1:ann", "abc >>", kNotFound, kKept);
        replyRow("other case, spaces around", "", " Abc ", "",
                 "sel1=;sel2=abc;sel3=;cur=-/abc/-;chk=000", "SND~ME1~hi~abc2~NOONE");
        replyRow("own name in other case searched", "", "me", "",
                 "sel1=;sel2=me;sel3=;cur=-/me/-;chk=000", "SND~ME1~hi~me2~NOONE");
        replyRow("level1 searched first", "c2:pat", "dup", "",
                 "sel1=dup;sel2=;sel3=;cur=dup/pat/-;chk=000", "SND~ME1~hi~dup1~NOONE");
        replyRow("earlier selections replaced", "c2:abc c2:pat", "xen", "",
                 "sel1=;sel2=;sel3=xen;cur=-/-/xen;chk=000", "SND~ME1~hi~xen3~NOONE");
        replyRow("level2 match keeps selected-level2", "c2:abc kS", "pat", "",
                 "sel1=;sel2=pat;sel3=;cur=-/pat/-;chk=001", "SND~ME1~hi~pat2~L2S");
    }
    void f2()
    {
        QFETCH(QString, script);
        QFETCH(QString, selection);
        QFETCH(QString, box);
        QFETCH(QString, expected);
        QFETCH(QString, wire);
        ReplyBench b;
        QVERIFY(b.f.show());
        b.f.run(script);
        b.f.c.RTBox->setFocus();
        b.f2(selection);

        QCOMPARE(b.f.state(), expected);
        QCOMPARE(b.seams.boxes.lines(),
                 box.isEmpty() ? QStringList()
                               : QStringList{test::box("Reply To User", BoxIcon::None, box)});
        QVERIFY(b.link.sent.isEmpty());
        QCOMPARE(b.f.c.RTBox->toPlainText(), kArea);
        if (wire.isEmpty())
            return;
        QTRY_VERIFY(b.f.c.txtSendData->hasFocus());
        QTest::keyClicks(b.f.c.txtSendData, QStringLiteral("hi"));
        QTest::keyClick(b.f.c.txtSendData, Qt::Key_Return);
        QCOMPARE(b.link.sent, QStringList{wire});
    }

    // Unchecking the group box clears every list on the way out; with the box unchecked a
    // second F2 leaves the match as the only selection.
    void groupBoxThenSecondF2()
    {
        ReplyBench b;
        QVERIFY(b.f.show());
        b.f.run(QStringLiteral("k3"));
        b.f2(QStringLiteral("xen"));
        QCOMPARE(b.f.state(), QStringLiteral("sel1=;sel2=;sel3=;cur=-/-/xen;chk=000"));
        b.f2(QStringLiteral("xen"));
        QCOMPARE(b.f.state(), QStringLiteral("sel1=;sel2=;sel3=xen;cur=-/-/xen;chk=000"));
    }

    void otherKeysPassThrough()
    {
        ReplyBench b;
        b.f.c.RTBox->moveCursor(QTextCursor::End);
        QTest::keyClicks(b.f.c.RTBox, QStringLiteral("ok"));
        QCOMPARE(b.f.c.RTBox->toPlainText(), kArea + QStringLiteral("ok"));
    }
};

QTEST_MAIN(TestSending)
#include "tst_sending.moc"
