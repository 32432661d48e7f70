// Hands one element to the dispatcher with a handler that records each call, and checks that
// every recognised message gives exactly one call, with the fields its handling reads.
#include "link/InboundDispatcher.h"

#include <cstdint>
#include <cstdlib>

using namespace wispline;
using namespace wispline::wire;

namespace
{

class Recorder final : public InboundHandler
{
public:
    int calls = 0;
    QStringList values;
    void onLogonAccepted(const QString& v) override { record(v); }
    void onHandshake() override { record({}); }
    void onLogonRefused(const QString& v) override { record(v); }
    void onUsersConnected(const QString& v) override { record(v); }
    void onOfflineMessage(const QString& v) override { record(v); }
    void onUsersGone(const QString& v) override { record(v); }
    void onPasswordReply(const QString& v, bool, const QString& p) override { record(v + p); }
    void onMessage(const QString& v) override { record(v); }
    void onServerShutdown(const QString& v) override { record(v); }
    void onLoggedOnElsewhere(const QString& v) override { record(v); }
    void onVersionRefused(const QString& v) override { record(v); }
    void onDownloadStart() override { record({}); }
    void onDownloadMessage(const QString& v) override { record(v); }
    void onDownloadEnd() override { record({}); }
    void onDispatchError(int number, const QString&) override
    {
        if (number != kSubscriptOutOfRange)
            std::abort();
        record({});
    }

private:
    void record(const QString& v)
    {
        ++calls;
        values << v;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray element(reinterpret_cast<const char*>(data), qsizetype(size));
    const InboundMessage message(element);
    const WireMessage fields = splitFields(fromWire(element));
    if (message.command() != recognise(fields) || message.fieldCount() != fields.size())
        std::abort();
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (message.field(i) != fields.at(i))
            std::abort();
    }
    Recorder recorder;
    dispatchInbound(message, recorder);
    // ALLM with an unknown sub-command is the only recognised message that calls nothing.
    const bool silent =
        message.command() == Inbound::None ||
        (message.command() == Inbound::ALLM && fields.size() > 1 &&
         fields.at(1) != QLatin1String("MSG") && fields.at(1) != QLatin1String("START") &&
         fields.at(1) != QLatin1String("END"));
    if (recorder.calls != (silent ? 0 : 1))
        std::abort();
    // A message's own text reaches the handler decoded as the page decodes it.
    if (message.command() == Inbound::SND && recorder.values.first() != fields.at(1))
        std::abort();
    return 0;
}
