#include "LogonTestSupport.h"

#include <QFileInfo>
#include <QNetworkInterface>
#include <QTest>

using namespace wispline;

Q_DECLARE_METATYPE(wispline::AdapterRecord)

class TestMacAddress : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setAdapterList(nullptr); }

    void getMacAddress_data()
    {
        QTest::addColumn<QList<AdapterRecord>>("adapters");
        QTest::addColumn<QString>("expected");
        const auto eth = [](const char* hex) { return test::MadeUpAdapters::record(hex); };
        const auto wireless = [](const char* hex) { return test::MadeUpAdapters::record(hex, 71); };

        QTest::newRow("no adapters") << QList<AdapterRecord>{} << QString();
        QTest::newRow("one- and two-digit bytes, upper case")
            << QList<AdapterRecord>{eth("000c293a4bbe0000")} << "00-0C-29-3A-4B-BE";
        QTest::newRow("bytes 6 and 7 ignored")
            << QList<AdapterRecord>{eth("0102030405060708")} << "01-02-03-04-05-06";
        QTest::newRow("short address padded with zero")
            << QList<AdapterRecord>{eth("0a0b0c")} << "0A-0B-0C-00-00-00";
        QTest::newRow("empty address") << QList<AdapterRecord>{eth("")} << "00-00-00-00-00-00";
        QTest::newRow("two ethernet, last wins")
            << QList<AdapterRecord>{eth("001122aabbcc"), eth("a1b2c3d4e5f6")}
            << "A1-B2-C3-D4-E5-F6";
        QTest::newRow("ethernet before wireless")
            << QList<AdapterRecord>{eth("001122aabbcc"), wireless("a1b2c3d4e5f6")}
            << "00-11-22-AA-BB-CC";
        QTest::newRow("wireless before ethernet")
            << QList<AdapterRecord>{wireless("a1b2c3d4e5f6"), eth("001122aabbcc")}
            << "00-11-22-AA-BB-CC";
        // Bridges, veth, tun/tap and container networks are Ethernet too; a device wins.
        const auto device = [](const char* hex) {
            return test::MadeUpAdapters::record(hex, kAdapterTypeEthernet, true);
        };
        QTest::newRow("device before virtual ones")
            << QList<AdapterRecord>{device("001122aabbcc"), eth("a1b2c3d4e5f6"),
                                    eth("0a0b0c0d0e0f")}
            << "00-11-22-AA-BB-CC";
        QTest::newRow("last of several devices")
            << QList<AdapterRecord>{eth("a1b2c3d4e5f6"), device("001122aabbcc"),
                                    device("0a0b0c0d0e0f"), eth("010203040506")}
            << "0A-0B-0C-0D-0E-0F";
        QTest::newRow("no ethernet gives the count line")
            << QList<AdapterRecord>{wireless("001122aabbcc"), test::MadeUpAdapters::record("a1", 9),
                                    wireless("")}
            << "3 Adapter(s):\r\n";
    }

    void getMacAddress()
    {
        QFETCH(QList<AdapterRecord>, adapters);
        test::MadeUpAdapters listed;
        listed.list = adapters;
        setAdapterList(&listed);
        QTEST(GetMACadr(), "expected");
    }

    // The system list leaves out loopback, marks Ethernet with its type code and carries the
    // hardware address as bytes in the order the system shows them.
    void systemListMatchesInterfaces()
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
            QCOMPARE(records.at(k).physical,
                     QFileInfo::exists("/sys/class/net/" + i.name() + "/device"));
            const QString hw = i.hardwareAddress();
            if (hw.size() == 17)
                QCOMPARE(FormatMACadr(records.at(k).address),
                         hw.toUpper().replace(QLatin1Char(':'), QLatin1Char('-')));
        }
    }
};

QTEST_GUILESS_MAIN(TestMacAddress)
#include "tst_macaddress.moc"
