#include "LogonTestSupport.h"

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
        // Bridges, veth, tun/tap and container networks are Ethernet too; a device wins.
        const auto device = [](const char* hex) {
            return test::MadeUpAdapters::record(hex, kAdapterTypeEthernet, true);
        };

        QTest::newRow("no adapters") << QList<AdapterRecord>{} << QString();
        QTest::newRow("upper case, one-digit bytes, bytes 6 and 7 ignored")
            << QList<AdapterRecord>{eth("000c293a4bbe0708")} << "00-0C-29-3A-4B-BE";
        QTest::newRow("short address padded with zero")
            << QList<AdapterRecord>{eth("0a0b0c")} << "0A-0B-0C-00-00-00";
        QTest::newRow("last ethernet wins, wireless skipped")
            << QList<AdapterRecord>{eth("0a0b0c0d0e0f"), eth("001122aabbcc"),
                                    wireless("a1b2c3d4e5f6")}
            << "00-11-22-AA-BB-CC";
        QTest::newRow("last device before virtual ones")
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
};

QTEST_GUILESS_MAIN(TestMacAddress)
#include "tst_macaddress.moc"
