#include "link/WireProtocol.h"

#include <QTest>

using namespace wispline::wire;

Q_DECLARE_METATYPE(wispline::wire::Inbound)

class tst_WireProtocol : public QObject
{
    Q_OBJECT

private slots:
    void builders_data()
    {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");

        QTest::newRow("logon upper-cases the name only")
            << buildLogon("abc", "pW~x", "1.1.1", "00-1A-2B-3C-4D-5E")
            << "LIU~ABC~pW~x~1.1.1~00-1A-2B-3C-4D-5E";
        QTest::newRow("logon keeps letters whose capital is not one byte")
            << buildLogon(QString::fromLatin1("j\xE9r\xF4me\xDF\xFF"), "p", "1.1.1", "m")
            << QString::fromLatin1("LIU~J\xC9R\xD4ME\xDF\xFF~p~1.1.1~m");
        QTest::newRow("handshake") << buildHandshake("abc2") << "HND~abc2~1";
        QTest::newRow("logout") << buildLogout("abc2") << "LOU~abc2";
        QTest::newRow("send to users") << buildSend("abc2", "Meeting at 10", "def3,ghi3", "NOONE")
                                       << "SND~abc2~Meeting at 10~def3,ghi3~NOONE";
        QTest::newRow("send to a level keeps inner spaces")
            << buildSend("abc1", " a  b ", "NOONE", "L3A") << "SND~abc1~ a  b ~NOONE~L3A";
        QTest::newRow("all messages joins upper name and level")
            << buildAllMessages("abc", "2", "pw", "1.1.1") << "ALLMsgs~ABC2~pw~1.1.1";
        QTest::newRow("change password keeps the name as it is")
            << buildChangePassword("abc", "2", "n3w") << "CHPASS~abc~2~n3w";
    }

    void builders()
    {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
    }

    void recognise_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Inbound>("command");

        // Each word of the catalogue is recognised in the dispatcher's rows; here the edges.
        QTest::newRow("LIU with no field") << "LIU~ExitEnd" << Inbound::LIU;
        QTest::newRow("HND alone") << "HND" << Inbound::HND;
        QTest::newRow("HND without trailer") << "HND~abc2" << Inbound::HND;

        QTest::newRow("trailer glued to field") << "SND~hiExitEnd" << Inbound::None;
        QTest::newRow("trailer not last") << "SND~ExitEnd~hi" << Inbound::None;
        QTest::newRow("trailer wrong case") << "SND~hi~exitend" << Inbound::None;
        QTest::newRow("command wrong case") << "snd~hi~ExitEnd" << Inbound::None;
        QTest::newRow("HND with suffix") << "HNDX~abc2" << Inbound::None;
        QTest::newRow("command with space") << " SND~hi~ExitEnd" << Inbound::None;
        QTest::newRow("outbound word") << "ALLMsgs~ABC2~pw~ExitEnd" << Inbound::None;
        QTest::newRow("unknown word") << "FOO~x~ExitEnd" << Inbound::None;
        QTest::newRow("command alone") << "SND" << Inbound::None;
        QTest::newRow("empty") << "" << Inbound::None;
        // Only the first eight bytes can hold the end of a command word.
        QTest::newRow("word one byte too long") << "Versions~x~ExitEnd" << Inbound::None;
        QTest::newRow("first separator far in") << "SNDSNDSND~x~ExitEnd" << Inbound::None;
        QTest::newRow("short word, long message")
            << "LGO~" + QString(100, 'a') + "~ExitEnd" << Inbound::LGO;
    }

    void recognise()
    {
        QFETCH(QString, text);
        QFETCH(Inbound, command);
        QCOMPARE(wispline::wire::recognise(wispline::wire::splitFields(text)), command);
        // The byte-level tests used on received bytes must give the same answer.
        const QByteArray bytes = toWire(text);
        QCOMPARE(recogniseWire(bytes), command);
        const InboundMessage m(bytes);
        QCOMPARE(m.command(), command);
        QCOMPARE(m.raw(), QByteArrayView(bytes));
    }

    void ansiRoundTrip()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = fromWire(all);
        QCOMPARE(text.size(), all.size());
        QCOMPARE(toWire(text), all);
        // Latin-1 one to one, and the page's printable characters at 0x80-0x9F ("€" was "?").
        QCOMPARE(text.at(0xE9).unicode(), ushort(0xE9));
        QCOMPARE(toWire(QStringLiteral("\u20AC\u2018\u2019\u201C\u201D\u2013\u2014\u2026")),
                 QByteArray("\x80\x91\x92\x93\x94\x96\x97\x85"));
        QCOMPARE(fromWire("\x80\x9F"), QStringLiteral("\u20AC\u0178"));

        // A character beyond the page takes one byte ("?"), so the framing around it holds; a
        // surrogate pair is one character.
        QCOMPARE(toWire(QStringLiteral("a\u03A9b\U0001F600c")), QByteArray("a?b?c"));
    }

    void fields_data()
    {
        QTest::addColumn<QByteArray>("storage");
        QTest::addColumn<qsizetype>("offset");
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<QStringList>("fields");

        auto row = [](const char* name, const QByteArray& storage, const QStringList& fields) {
            QTest::newRow(name) << storage << qsizetype(0) << storage.size() << fields;
        };
        row("several fields", "SND~hi~ExitEnd", {"SND", "hi", "ExitEnd"});
        row("no separator", "HND", {"HND"});
        row("empty message", "", {""});
        row("empty fields at both ends and between", "~a~~b~", {"", "a", "", "b", ""});
        row("separator alone", "~", {"", ""});
        row("Latin-1 bytes decoded one to one", "OffL~\xE9t\xE9 \xFF~ExitEnd",
            {"OffL", QString::fromLatin1("\xE9t\xE9 \xFF"), "ExitEnd"});
        // A message cut out of a larger buffer sees only its own bytes.
        QTest::newRow("slice of a larger buffer")
            << QByteArray("LGO~a1~ExitEnd`SND~hi~ExitEnd`x~y~z") << qsizetype(15) << qsizetype(14)
            << QStringList{"SND", "hi", "ExitEnd"};
    }

    void fields()
    {
        QFETCH(QByteArray, storage);
        QFETCH(qsizetype, offset);
        QFETCH(qsizetype, size);
        QFETCH(QStringList, fields);

        const QString text = fromWire(storage.sliced(offset, size));
        QCOMPARE(wispline::wire::splitFields(text), fields);
        const InboundMessage m(Inbound::None, storage, offset, size);
        QCOMPARE(m.text(), text);
        QCOMPARE(m.fields(), fields);
        // A field the message lacks: the dispatcher's "Subscript out of range" rows.
        QCOMPARE(m.fieldCount(), fields.size());
    }
};

QTEST_APPLESS_MAIN(tst_WireProtocol)
#include "tst_wireprotocol.moc"
