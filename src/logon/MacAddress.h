#pragma once
// The hardware address of the machine's Ethernet adapter, shown at log-on and sent to the
// server with the log-on message.
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

namespace wispline
{

// Adapter type code of an Ethernet adapter.
inline constexpr std::uint32_t kAdapterTypeEthernet = 6;

struct AdapterRecord {
    QByteArray address; // hardware address bytes; the first six are shown
    std::uint32_t type = 0;
    // Backed by a device of the machine, not a bridge, tunnel or container network, whose
    // address may change from one run to the next.
    bool physical = false;
};

// The machine's network adapters in the order the system lists them.
class AdapterList
{
public:
    virtual ~AdapterList() = default;
    virtual QList<AdapterRecord> adapters() const = 0;
};

// The adapters of this machine, loopback excluded.
class SystemAdapterList final : public AdapterList
{
public:
    QList<AdapterRecord> adapters() const override;
};

// Install a replacement list (nullptr restores the system's). The caller keeps ownership.
void setAdapterList(AdapterList* replacement);
AdapterList& adapterList();

// The address of the last Ethernet adapter backed by a physical device in list order, or of
// the last Ethernet adapter when none is; when there is no Ethernet adapter, the count line
// "<N> Adapter(s):" + CR LF; empty text when the machine has no adapters at all.
QString GetMACadr();

// The first six bytes as two-digit upper-case hexadecimal joined by "-" (17 characters).
// Bytes missing from a short array count as zero.
QString FormatMACadr(const QByteArray& address8);

} // namespace wispline
