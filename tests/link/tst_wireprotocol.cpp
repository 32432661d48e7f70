#include "link/WireProtocol.h"

#include <QTest>
#include <tuple>

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
    void inboundFields_data();
    void inboundFields();
    void inboundMessageRecognisesItsElement_data();
    void inboundMessageRecognisesItsElement();
    void assignReplacesTheWholeMessage();
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

void tst_WireProtocol::inboundFields_data()
{
    QTest::addColumn<QByteArray>("storage");
    QTest::addColumn<qsizetype>("offset");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qsizetype>("index");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("value");
    QTest::addColumn<qsizetype>("count");

    const QByteArray snd("SND~hi~ExitEnd");
    auto whole = [](const QByteArray& b) { return std::make_tuple(b, qsizetype(0), b.size()); };
    auto row = [](const char* name, std::tuple<QByteArray, qsizetype, qsizetype> message,
                  qsizetype index, bool present, const QString& value, qsizetype count) {
        QTest::newRow(name) << std::get<0>(message) << std::get<1>(message) << std::get<2>(message)
                            << index << present << value << count;
    };
    row("command word", whole(snd), 0, true, "SND", 3);
    row("middle field", whole(snd), 1, true, "hi", 3);
    row("trailer is the last field", whole(snd), 2, true, "ExitEnd", 3);
    row("past the last field", whole(snd), 3, false, "", 3);
    row("far past the last field", whole(snd), 40, false, "", 3);
    row("negative index", whole(snd), -1, false, "", 3);
    row("empty field between separators", whole("a~~b"), 1, true, "", 3);
    row("field after an empty one", whole("a~~b"), 2, true, "b", 3);
    row("leading separator", whole("~a"), 0, true, "", 2);
    row("trailing separator", whole("a~"), 1, true, "", 2);
    row("separator alone", whole("~"), 1, true, "", 2);
    row("no separator", whole("HND"), 0, true, "HND", 1);
    row("no separator has no field 1", whole("HND"), 1, false, "", 1);
    row("empty message", whole(""), 0, true, "", 1);
    row("Latin-1 bytes decoded one to one", whole("OffL~\xE9t\xE9 \xFF~ExitEnd"), 1, true,
        QString::fromLatin1("\xE9t\xE9 \xFF"), 3);
    // A message cut out of a larger buffer sees only its own bytes.
    const QByteArray shared("LGO~a1~ExitEnd`SND~hi~ExitEnd`x~y~z");
    row("slice starts at its offset", std::make_tuple(shared, qsizetype(15), qsizetype(14)), 0,
        true, "SND", 3);
    row("slice ends at its size", std::make_tuple(shared, qsizetype(15), qsizetype(14)), 2, true,
        "ExitEnd", 3);
    row("slice has no field beyond its end", std::make_tuple(shared, qsizetype(15), qsizetype(14)),
        3, false, "", 3);
    row("slice at the start", std::make_tuple(shared, qsizetype(0), qsizetype(14)), 1, true, "a1",
        3);
}

void tst_WireProtocol::inboundFields()
{
    QFETCH(QByteArray, storage);
    QFETCH(qsizetype, offset);
    QFETCH(qsizetype, size);
    QFETCH(qsizetype, index);
    QFETCH(bool, present);
    QFETCH(QString, value);
    QFETCH(qsizetype, count);

    const InboundMessage m(Inbound::None, storage, offset, size);
    bool ok = !present;
    QCOMPARE(m.field(index, &ok), value);
    QCOMPARE(ok, present);
    ok = !present;
    QCOMPARE(m.rawField(index, &ok), QByteArrayView(toWire(value)));
    QCOMPARE(ok, present);
    QCOMPARE(m.fieldCount(), count);
    // The lazy reading agrees with splitting the decoded text.
    const QString text = fromWire(storage.sliced(offset, size));
    QCOMPARE(m.text(), text);
    QCOMPARE(m.fields(), wispline::wire::splitFields(text));
    QCOMPARE(m.fields().size(), count);
}

void tst_WireProtocol::inboundMessageRecognisesItsElement_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<Inbound>("command");

    QTest::newRow("message") << QByteArray("SND~hi~ExitEnd") << Inbound::SND;
    QTest::newRow("handshake alone") << QByteArray("HND") << Inbound::HND;
    QTest::newRow("no trailer") << QByteArray("SND~hi") << Inbound::None;
    QTest::newRow("longest words") << QByteArray("Version~x~ExitEnd") << Inbound::Version;
    QTest::newRow("word one byte too long") << QByteArray("Versions~x~ExitEnd") << Inbound::None;
    QTest::newRow("first separator far in") << QByteArray("SNDSNDSND~x~ExitEnd") << Inbound::None;
    QTest::newRow("short word, long message")
        << QByteArray("LGO~" + QByteArray(100, 'a') + "~ExitEnd") << Inbound::LGO;
}

void tst_WireProtocol::inboundMessageRecognisesItsElement()
{
    QFETCH(QByteArray, element);
    QFETCH(Inbound, command);
    const InboundMessage m(element);
    QCOMPARE(m.command(), command);
    QCOMPARE(m.raw(), QByteArrayView(element));
    QCOMPARE(wispline::wire::recognise(wispline::wire::splitFields(fromWire(element))), command);
}

void tst_WireProtocol::assignReplacesTheWholeMessage()
{
    // Taking several messages of one buffer in turn into one object, then one of another buffer.
    const QByteArray chunk("SND~one~ExitEnd`LGO~b2~ExitEnd`");
    InboundMessage m;
    m.assign(Inbound::SND, chunk, 0, 15);
    QCOMPARE(m.text(), QStringLiteral("SND~one~ExitEnd"));
    m.assign(Inbound::LGO, chunk, 16, 14);
    QCOMPARE(m.command(), Inbound::LGO);
    QCOMPARE(m.field(1), QStringLiteral("b2"));
    QByteArray other("OffL~two~ExitEnd");
    m.assign(Inbound::OffL, other, 0, other.size());
    other[5] = 'X'; // the message keeps the bytes it was given
    QCOMPARE(m.command(), Inbound::OffL);
    QCOMPARE(m.text(), QStringLiteral("OffL~two~ExitEnd"));
}

QTEST_APPLESS_MAIN(tst_WireProtocol)
#include "tst_wireprotocol.moc"
