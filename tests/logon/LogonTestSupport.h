#pragma once
// Doubles shared by the log-on tests: a made-up adapter list, an emptied settings store and the
// seams, installed together by LogonFixture.
#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "logon/MacAddress.h"

#include <QSettings>
#include <QStringList>
#include <QTest>
#include <stdexcept>

namespace wispline::test
{

class MadeUpAdapters final : public AdapterList
{
public:
    QList<AdapterRecord> list;
    bool fail = false;
    QList<AdapterRecord> adapters() const override
    {
        if (fail)
            throw std::runtime_error("adapter list unavailable");
        return list;
    }
    static AdapterRecord record(const QByteArray& hex, std::uint32_t type = kAdapterTypeEthernet,
                                bool physical = false)
    {
        return AdapterRecord{QByteArray::fromHex(hex), type, physical};
    }
};

// Seams, one Ethernet adapter, an empty settings store and the session as Main leaves it
// before the log-on window opens.
struct LogonFixture {
    Seams seams;
    MadeUpAdapters adapters;

    LogonFixture()
    {
        adapters.list = {MadeUpAdapters::record("0a1b2c3d4e5f")};
        setAdapterList(&adapters);
        QSettings store(settings::filePath(), QSettings::IniFormat);
        store.clear();
        store.sync();
        resetSession();
        session().ThemeForeColor = 33023;
        session().ThemeBackColor = 0;
    }
    ~LogonFixture() { setAdapterList(nullptr); }
};

} // namespace wispline::test
