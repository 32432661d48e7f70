#pragma once
// Doubles shared by the log-on window tests: a made-up adapter list, a recording server link
// and an empty settings store.
#include "app/SessionState.h"
#include "link/LinkWriter.h"
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
    static AdapterRecord ethernet(const QByteArray& hex)
    {
        AdapterRecord r;
        r.address = QByteArray::fromHex(hex);
        r.type = kAdapterTypeEthernet;
        return r;
    }
};

class RecordingLink final : public LinkWriter
{
public:
    bool connected = true;
    QStringList sent;
    bool isConnected() const override { return connected; }
    void send(const QString& message) override
    {
        if (connected)
            sent << message;
    }
};

// One data row of text columns, in column order.
inline void textRow(const char* name, const QStringList& values)
{
    QTestData& row = QTest::newRow(name);
    for (const QString& v : values)
        row << v;
}

// The store the program uses, emptied.
inline void clearSettingsStore()
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("AkWispline"),
                QStringLiteral("AkWispline"));
    s.clear();
    s.sync();
}

// The session as Main leaves it before the log-on window opens.
inline void resetSessionAsAtStart()
{
    resetSession();
    session().ThemeForeColor = 33023;
    session().ThemeBackColor = 0;
}

} // namespace wispline::test
