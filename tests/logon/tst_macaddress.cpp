#include "logon/MacAddress.h"

#include <QNetworkInterface>
#include <QTest>

using namespace wispline;

namespace
{

class ListedAdapters final : public AdapterList
{
public:
    QList<AdapterRecord> list;
    QList<AdapterRecord> adapters() const override { return list; }
};

AdapterRecord adapter(const QByteArray& address, std::uint32_t type)
{
    AdapterRecord r;
    r.address = address;
    r.type = type;
    return r;
}

const std::uint32_t kWireless = 71;
const std::uint32_t kTokenRing = 9;

} // namespace

Q_DECLARE_METATYPE(wispline::AdapterRecord)

class TestMacAddress : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setAdapterList(nullptr); }

    void formatsSixBytes_data();
    void formatsSixBytes();
    void choosesAdapter_data();
    void choosesAdapter();
    void systemListMatchesInterfaces();
};

void TestMacAddress::formatsSixBytes_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("expected");

    QTest::newRow("mixed one- and two-digit bytes")
        << QByteArray::fromHex("000c293a4bbe0000") << "00-0C-29-3A-4B-BE";
    QTest::newRow("all zero") << QByteArray(8, '\0') << "00-00-00-00-00-00";
    QTest::newRow("all high bytes") << QByteArray(8, char(0xFF)) << "FF-FF-FF-FF-FF-FF";
    QTest::newRow("bytes 6 and 7 ignored")
        << QByteArray::fromHex("0102030405060708") << "01-02-03-04-05-06";
    QTest::newRow("short array padded with zero")
        << QByteArray::fromHex("0a0b0c") << "0A-0B-0C-00-00-00";
    QTest::newRow("empty array") << QByteArray() << "00-00-00-00-00-00";
}

void TestMacAddress::formatsSixBytes()
{
    QFETCH(QByteArray, address);
    QFETCH(QString, expected);
    const QString text = FormatMACadr(address);
    QCOMPARE(text, expected);
    QCOMPARE(text.size(), 17);
    QCOMPARE(text.count(QLatin1Char('-')), 5);
}

void TestMacAddress::choosesAdapter_data()
{
    QTest::addColumn<QList<AdapterRecord>>("adapters");
    QTest::addColumn<QString>("expected");

    const QByteArray a = QByteArray::fromHex("001122aabbcc0000");
    const QByteArray b = QByteArray::fromHex("a1b2c3d4e5f60000");

    QTest::newRow("no adapters") << QList<AdapterRecord>{} << QString();
    QTest::newRow("one ethernet") << QList<AdapterRecord>{adapter(a, kAdapterTypeEthernet)}
                                  << "00-11-22-AA-BB-CC";
    QTest::newRow("two ethernet, last wins")
        << QList<AdapterRecord>{adapter(a, kAdapterTypeEthernet), adapter(b, kAdapterTypeEthernet)}
        << "A1-B2-C3-D4-E5-F6";
    QTest::newRow("ethernet before wireless")
        << QList<AdapterRecord>{adapter(a, kAdapterTypeEthernet), adapter(b, kWireless)}
        << "00-11-22-AA-BB-CC";
    QTest::newRow("wireless before ethernet")
        << QList<AdapterRecord>{adapter(b, kWireless), adapter(a, kAdapterTypeEthernet)}
        << "00-11-22-AA-BB-CC";
    QTest::newRow("only wireless gives count line")
        << QList<AdapterRecord>{adapter(b, kWireless)} << "1 Adapter(s):\r\n";
    QTest::newRow("three non-ethernet give count line")
        << QList<AdapterRecord>{adapter(a, kWireless), adapter(b, kTokenRing),
                                adapter(QByteArray(), kWireless)}
        << "3 Adapter(s):\r\n";
}

void TestMacAddress::choosesAdapter()
{
    QFETCH(QList<AdapterRecord>, adapters);
    QFETCH(QString, expected);
    ListedAdapters listed;
    listed.list = adapters;
    setAdapterList(&listed);
    QCOMPARE(GetMACadr(), expected);
}

// The system list leaves out loopback, marks Ethernet with its type code and carries the
// hardware address as bytes in the order the system shows them.
void TestMacAddress::systemListMatchesInterfaces()
{
    QList<QNetworkInterface> expected;
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
        if (i.type() != QNetworkInterface::Loopback &&
            !i.flags().testFlag(QNetworkInterface::IsLoopBack))
            expected << i;
    }
    const QList<AdapterRecord> records = SystemAdapterList().adapters();
    QCOMPARE(records.size(), expected.size());
    for (int k = 0; k < records.size(); ++k) {
        const QNetworkInterface& i = expected.at(k);
        QCOMPARE(records.at(k).type == kAdapterTypeEthernet,
                 i.type() == QNetworkInterface::Ethernet);
        const QString hw = i.hardwareAddress();
        if (hw.size() == 17)
            QCOMPARE(FormatMACadr(records.at(k).address),
                     hw.toUpper().replace(QLatin1Char(':'), QLatin1Char('-')));
    }
}

QTEST_GUILESS_MAIN(TestMacAddress)
#include "tst_macaddress.moc"
