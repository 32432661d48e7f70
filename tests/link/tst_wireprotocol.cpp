#include "link/WireProtocol.h"

#include <QTest>

using namespace wispline::wire;

Q_DECLARE_METATYPE(wispline::wire::Inbound)

class tst_WireProtocol : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();
    void splitFields_data();
    void splitFields();
    void recognise_data();
    void recognise();
    void latin1RoundTrip();
    void charactersBeyondLatin1KeepOneBytePerCharacter();
};

void tst_WireProtocol::builders_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");

    QTest::newRow("logon upper-cases the name only")
        << buildLogon("abc", "pW~x", "1.1.1", "00-1A-2B-3C-4D-5E")
        << "LIU~ABC~pW~x~1.1.1~00-1A-2B-3C-4D-5E";
    QTest::newRow("logon without adapter") << buildLogon("Abc", "secret", "1.1.1", "MAC Not Found")
                                           << "LIU~ABC~secret~1.1.1~MAC Not Found";
    QTest::newRow("logon keeps letters whose capital is not one byte")
        << buildLogon(QString::fromLatin1("j\xE9r\xF4me\xDF\xFF"), "p", "1.1.1", "m")
        << QString::fromLatin1("LIU~J\xC9R\xD4ME\xDF\xFF~p~1.1.1~m");
    QTest::newRow("handshake") << buildHandshake("abc2") << "HND~abc2~1";
    QTest::newRow("logout") << buildLogout("abc2") << "LOU~abc2";
    QTest::newRow("send to users") << buildSend("abc2", "Meeting at 10", "def3,ghi3", "NOONE")
                                   << "SND~abc2~Meeting at 10~def3,ghi3~NOONE";
    QTest::newRow("send to a level")
        << buildSend("abc2", "hello", "NOONE", "L3A") << "SND~abc2~hello~NOONE~L3A";
    QTest::newRow("send keeps inner spaces")
        << buildSend("abc1", " a  b ", "NOONE", "L2S") << "SND~abc1~ a  b ~NOONE~L2S";
    QTest::newRow("all messages joins upper name and level")
        << buildAllMessages("abc", "2", "pw", "1.1.1") << "ALLMsgs~ABC2~pw~1.1.1";
    QTest::newRow("all messages before a level is known")
        << buildAllMessages("abc", "", "pw", "1.1.1") << "ALLMsgs~ABC~pw~1.1.1";
    QTest::newRow("change password keeps the name as it is")
        << buildChangePassword("abc", "2", "n3w") << "CHPASS~abc~2~n3w";
    QTest::newRow("change password to empty")
        << buildChangePassword("abc", "2", "") << "CHPASS~abc~2~";
}

void tst_WireProtocol::builders()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

void tst_WireProtocol::splitFields_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("several fields") << "SND~hi~ExitEnd" << QStringList{"SND", "hi", "ExitEnd"};
    QTest::newRow("no separator") << "HND" << QStringList{"HND"};
    QTest::newRow("empty text") << "" << QStringList{""};
    QTest::newRow("adjacent separators") << "a~~b" << QStringList{"a", "", "b"};
    QTest::newRow("leading separator") << "~a" << QStringList{"", "a"};
    QTest::newRow("trailing separator") << "a~" << QStringList{"a", ""};
    QTest::newRow("separator alone") << "~" << QStringList{"", ""};
}

void tst_WireProtocol::splitFields()
{
    QFETCH(QString, text);
    QFETCH(QStringList, fields);
    QCOMPARE(wispline::wire::splitFields(text), fields);
}

void tst_WireProtocol::recognise_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Inbound>("command");

    QTest::newRow("LIU") << "LIU~x~2~ExitEnd" << Inbound::LIU;
    QTest::newRow("LIU with one field") << "LIU~x~ExitEnd" << Inbound::LIU;
    QTest::newRow("LIU with no field") << "LIU~ExitEnd" << Inbound::LIU;
    QTest::newRow("HND alone") << "HND" << Inbound::HND;
    QTest::newRow("HND without trailer") << "HND~abc2" << Inbound::HND;
    QTest::newRow("HND with trailer") << "HND~abc2~ExitEnd" << Inbound::HND;
    QTest::newRow("Invalid") << "Invalid~No such user~ExitEnd" << Inbound::Invalid;
    QTest::newRow("USRS") << "USRS~abc1~def2~ExitEnd" << Inbound::USRS;
    QTest::newRow("OffL") << "OffL~kept~ExitEnd" << Inbound::OffL;
    QTest::newRow("LGO") << "LGO~abc1~ExitEnd" << Inbound::LGO;
    QTest::newRow("CHPASS") << "CHPASS~Done~S~n3w~ExitEnd" << Inbound::CHPASS;
    QTest::newRow("SND") << "SND~abc2 <x> hi [10:00]~ExitEnd" << Inbound::SND;
    QTest::newRow("SHT") << "SHT~going down~ExitEnd" << Inbound::SHT;
    QTest::newRow("OtLog") << "OtLog~elsewhere~ExitEnd" << Inbound::OtLog;
    QTest::newRow("Version") << "Version~too old~ExitEnd" << Inbound::Version;
    QTest::newRow("ALLM") << "ALLM~START~ExitEnd" << Inbound::ALLM;

    QTest::newRow("trailer missing") << "SND~hi" << Inbound::None;
    QTest::newRow("trailer cut short") << "SND~hi~Exit" << Inbound::None;
    QTest::newRow("trailer glued to field") << "SND~hiExitEnd" << Inbound::None;
    QTest::newRow("trailer not last") << "SND~ExitEnd~hi" << Inbound::None;
    QTest::newRow("trailer wrong case") << "SND~hi~exitend" << Inbound::None;
    QTest::newRow("trailer with space") << "SND~hi~ExitEnd " << Inbound::None;
    QTest::newRow("command wrong case") << "snd~hi~ExitEnd" << Inbound::None;
    QTest::newRow("HND wrong case") << "Hnd~abc2" << Inbound::None;
    QTest::newRow("HND with suffix") << "HNDX~abc2" << Inbound::None;
    QTest::newRow("command with space") << " SND~hi~ExitEnd" << Inbound::None;
    QTest::newRow("outbound word") << "ALLMsgs~ABC2~pw~ExitEnd" << Inbound::None;
    QTest::newRow("logout word") << "LOU~abc2~ExitEnd" << Inbound::None;
    QTest::newRow("unknown word") << "FOO~x~ExitEnd" << Inbound::None;
    QTest::newRow("trailer alone") << "ExitEnd" << Inbound::None;
    QTest::newRow("command alone") << "SND" << Inbound::None;
    QTest::newRow("empty") << "" << Inbound::None;
}

void tst_WireProtocol::recognise()
{
    QFETCH(QString, text);
    QFETCH(Inbound, command);
    QCOMPARE(wispline::wire::recognise(wispline::wire::splitFields(text)), command);
    // The byte-level test used on unfinished input must give the same answer.
    const QByteArray bytes = toWire(text);
    QCOMPARE(recogniseWire(bytes), command);
}

void tst_WireProtocol::latin1RoundTrip()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = fromWire(all);
    QCOMPARE(text.size(), all.size());
    for (int b = 0; b < 256; ++b)
        QCOMPARE(text.at(b).unicode(), ushort(b));
    QCOMPARE(toWire(text), all);
}

void tst_WireProtocol::charactersBeyondLatin1KeepOneBytePerCharacter()
{
    const QString text = QStringLiteral("a\u20ACb\u0152");
    const QByteArray wire = toWire(text);
    QCOMPARE(wire.size(), text.size());
    QCOMPARE(wire.at(0), 'a');
    QCOMPARE(wire.at(2), 'b');
}

QTEST_APPLESS_MAIN(tst_WireProtocol)
#include "tst_wireprotocol.moc"
