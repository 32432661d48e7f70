#include "logon/MacAddress.h"

#include <QFileInfo>
#include <QNetworkInterface>

namespace wispline
{

namespace
{

AdapterList* g_replacement = nullptr;

// Adapter type codes as the system's interface table numbers them; only Ethernet matters to
// the probe, the others just have to differ from it.
std::uint32_t typeCode(QNetworkInterface::InterfaceType type)
{
    switch (type) {
    case QNetworkInterface::Ethernet:
        return kAdapterTypeEthernet;
    case QNetworkInterface::Loopback:
        return 24;
    case QNetworkInterface::Ppp:
        return 23;
    case QNetworkInterface::Slip:
        return 28;
    case QNetworkInterface::Fddi:
        return 15;
    case QNetworkInterface::Wifi:
        return 71;
    case QNetworkInterface::Ieee1394:
        return 144;
    case QNetworkInterface::Virtual:
        return 131;
    default:
        return 1; // other
    }
}

QByteArray addressBytes(const QString& hardwareAddress)
{
    QByteArray bytes;
    const QStringList parts = hardwareAddress.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 16);
        if (!ok || value > 0xFF)
            return QByteArray();
        bytes.append(char(value));
    }
    return bytes;
}

} // namespace

QList<AdapterRecord> SystemAdapterList::adapters() const
{
    QList<AdapterRecord> list;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        if (iface.type() == QNetworkInterface::Loopback ||
            iface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        AdapterRecord r;
        r.address = addressBytes(iface.hardwareAddress());
        r.type = typeCode(iface.type());
        // Where the system shows no such link (other than Linux), no adapter is preferred.
        r.physical =
            QFileInfo::exists(QStringLiteral("/sys/class/net/%1/device").arg(iface.name()));
        list.append(r);
    }
    return list;
}

void setAdapterList(AdapterList* replacement)
{
    g_replacement = replacement;
}

AdapterList& adapterList()
{
    static SystemAdapterList system;
    return g_replacement ? *g_replacement : system;
}

QString GetMACadr()
{
    const QList<AdapterRecord> list = adapterList().adapters();
    if (list.isEmpty())
        return QString();
    // Virtual adapters count as Ethernet too and are often listed last, with an address that
    // changes between runs: the server would see another machine each time.
    const AdapterRecord* lastEthernet = nullptr;
    const AdapterRecord* lastPhysical = nullptr;
    for (const AdapterRecord& r : list) {
        if (r.type != kAdapterTypeEthernet)
            continue;
        lastEthernet = &r;
        if (r.physical)
            lastPhysical = &r;
    }
    if (const AdapterRecord* chosen = lastPhysical ? lastPhysical : lastEthernet)
        return FormatMACadr(chosen->address);
    return QString::number(list.size()) + QStringLiteral(" Adapter(s):\r\n");
}

QString FormatMACadr(const QByteArray& address8)
{
    QString text;
    text.reserve(17);
    for (int i = 0; i < 6; ++i) {
        const uint byte = i < address8.size() ? uint(uchar(address8.at(i))) : 0u;
        text += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
        if (i < 5)
            text += QLatin1Char('-');
    }
    return text;
}

} // namespace wispline
