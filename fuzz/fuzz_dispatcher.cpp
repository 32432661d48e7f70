// Hands one element to the dispatcher with a handler that records each call, and checks that
// every recognised message gives exactly one call, with the fields its handling reads.
#include "link/RecordingHandler.h"

#include <cstdint>
#include <cstdlib>

using namespace wispline;
using namespace wispline::wire;

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
    wispline::test::RecordingHandler recorder;
    dispatchInbound(message, recorder);
    // The only error the handling reports is a missing field.
    for (const QString& call : recorder.calls) {
        if (call.startsWith(QLatin1String("Error(")) &&
            !call.startsWith(QStringLiteral("Error(%1|").arg(int(kSubscriptOutOfRange))))
            std::abort();
    }
    // ALLM with an unknown sub-command is the only recognised message that calls nothing.
    const bool silent =
        message.command() == Inbound::None ||
        (message.command() == Inbound::ALLM && fields.size() > 1 &&
         fields.at(1) != QLatin1String("MSG") && fields.at(1) != QLatin1String("START") &&
         fields.at(1) != QLatin1String("END"));
    if (recorder.calls.size() != (silent ? 0 : 1))
        std::abort();
    // A message's own text reaches the handler decoded as the page decodes it.
    if (message.command() == Inbound::SND &&
        recorder.calls.first() != QLatin1String("Message(%1)").arg(fields.at(1)))
        std::abort();
    return 0;
}
