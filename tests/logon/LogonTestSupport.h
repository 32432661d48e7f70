#pragma once
// Doubles shared by the log-on tests: a made-up adapter list, a recording server link, an
// emptied settings store and the seams, installed together by LogonFixture.
#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "link/LinkWriter.h"
#include "logon/MacAddress.h"

#include <QSettings>
#include <QStringList>
#include <QTest>
#include <functional>
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
    static AdapterRecord record(const QByteArray& hex, std::uint32_t type = kAdapterTypeEthernet)
    {
        return AdapterRecord{QByteArray::fromHex(hex), type};
    }
};

class RecordingLink final : public LinkWriter
{
public:
    bool connected = true;
    QStringList sent;
    std::function<void()> whileSending; // runs in the send's turn of the event loop
    bool isConnected() const override { return connected; }
    void send(const QString& message) override
    {
        if (connected)
            sent << message;
        if (whileSending)
            whileSending();
    }
};

// One data row of text columns, in column order.
inline void textRow(const char* name, const QStringList& values)
{
    QTestData& row = QTest::newRow(name);
    for (const QString& v : values)
        row << v;
}

// A shown box as one comparable line: title, icon and text.
inline QString box(const QString& title, BoxIcon icon, const QString& text)
{
    return title + QLatin1Char('|') + QString::number(int(icon)) + QLatin1Char('|') + text;
}

inline QStringList shownBoxes(const RecordingBoxes& boxes)
{
    QStringList lines;
    for (const BoxRequest& r : boxes.shown)
        lines << box(r.title, r.icon, r.text);
    return lines;
}

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
