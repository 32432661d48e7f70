#include "FakeLink.h"
#include "TestSeams.h"
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
const QString kArea =
    QStringLiteral("bob >> hi [To ME]\n\n Abc said dup, me, pat, xen, abc >> there");
const char* const kNotFound = "User is not exisitng or is not Connected.\r\nCannot send reply.";
const char* const kKept = "sel1=ann;sel2=;sel3=;cur=ann/-/-;chk=000";

struct Bench {
    test::Seams seams;
    // The nameless Level 3 entry must not match an empty selection.
    test::PanelFixture f{QStringLiteral("ann,bob,dup|abc,dup,me,pat|,xen,yul")};
    test::FakeLink link;
    SelectionPanel panel{f.c};
    MessageSender sender{f.c, panel, &link};
    ReplyLocator reply{panel};

    Bench()
    {
        f.c.RTBox->installEventFilter(&reply);
        f.c.RTBox->setPlainText(kArea);
    }
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

// `wire` is what a following Enter in the compose box sends, empty when not tried.
void row(const char* name, const char* script, const char* selection, const char* box,
         const char* expected, const char* wire = "")
{
    QTest::newRow(name) << QString::fromLatin1(script) << QString::fromLatin1(selection)
                        << QString::fromLatin1(box) << QString::fromLatin1(expected)
                        << QString::fromLatin1(wire);
}
} // namespace

class TestReplyLocator : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetSession();
        session().UserName = QStringLiteral("ME");
        session().UserLevel = QStringLiteral("1");
    }

    void f2_data()
    {
        for (const char* column : {"script", "selection", "box", "expected", "wire"})
            QTest::addColumn<QString>(column);
        row("nothing selected", "c1:ann", "", kNotFound, kKept);
        row("own name in the same case", "c1:ann", "ME", "Cannot send message to Self.", kKept);
        row("more than the name", "c1:ann", "abc >>", kNotFound, kKept);
        row("other case, spaces around", "", " Abc ", "",
            "sel1=;sel2=abc;sel3=;cur=-/abc/-;chk=000", "SND~ME1~hi~abc2~NOONE");
        row("own name in other case searched", "", "me", "",
            "sel1=;sel2=me;sel3=;cur=-/me/-;chk=000", "SND~ME1~hi~me2~NOONE");
        row("level1 searched first", "c2:pat", "dup", "",
            "sel1=dup;sel2=;sel3=;cur=dup/pat/-;chk=000", "SND~ME1~hi~dup1~NOONE");
        row("earlier selections replaced", "c2:abc c2:pat", "xen", "",
            "sel1=;sel2=;sel3=xen;cur=-/-/xen;chk=000", "SND~ME1~hi~xen3~NOONE");
        row("level2 match keeps selected-level2", "c2:abc kS", "pat", "",
            "sel1=;sel2=pat;sel3=;cur=-/pat/-;chk=001", "SND~ME1~hi~pat2~L2S");
    }
    void f2()
    {
        QFETCH(QString, script);
        QFETCH(QString, selection);
        QFETCH(QString, box);
        QFETCH(QString, expected);
        QFETCH(QString, wire);
        Bench b;
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
        Bench b;
        QVERIFY(b.f.show());
        b.f.run(QStringLiteral("k3"));
        b.f2(QStringLiteral("xen"));
        QCOMPARE(b.f.state(), QStringLiteral("sel1=;sel2=;sel3=;cur=-/-/xen;chk=000"));
        b.f2(QStringLiteral("xen"));
        QCOMPARE(b.f.state(), QStringLiteral("sel1=;sel2=;sel3=xen;cur=-/-/xen;chk=000"));
    }

    void otherKeysPassThrough()
    {
        Bench b;
        b.f.c.RTBox->moveCursor(QTextCursor::End);
        QTest::keyClicks(b.f.c.RTBox, QStringLiteral("ok"));
        QCOMPARE(b.f.c.RTBox->toPlainText(), kArea + QStringLiteral("ok"));
    }
};

QTEST_MAIN(TestReplyLocator)
#include "tst_replylocator.moc"
