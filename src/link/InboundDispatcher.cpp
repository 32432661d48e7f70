#include "link/InboundDispatcher.h"

namespace wispline {

using wire::Inbound;

void dispatchInbound(const wire::InboundMessage& message, InboundHandler& handler)
{
    const wire::WireMessage& f = message.fields;
    // A field the handling reads but the message lacks is an error of that message alone; the
    // messages after it are still handled.
    auto need = [&](int count) {
        if (f.size() >= count)
            return true;
        handler.onDispatchError(kSubscriptOutOfRange, kSubscriptOutOfRangeText);
        return false;
    };

    switch (message.command) {
    case Inbound::LIU:
        if (need(3))
            handler.onLogonAccepted(f.at(2));
        break;
    case Inbound::HND:
        handler.onHandshake();
        break;
    case Inbound::Invalid:
        if (need(2))
            handler.onLogonRefused(f.at(1));
        break;
    case Inbound::USRS:
        handler.onUsersConnected(message.text);
        break;
    case Inbound::OffL:
        if (need(2))
            handler.onOfflineMessage(f.at(1));
        break;
    case Inbound::LGO:
        handler.onUsersGone(message.text);
        break;
    case Inbound::CHPASS:
        if (need(3)) {
            const bool success = f.at(2) == QLatin1String("S");
            if (success && !need(4))
                break;
            handler.onPasswordReply(f.at(1), success, success ? f.at(3) : QString());
        }
        break;
    case Inbound::SND:
        if (need(2))
            handler.onMessage(f.at(1));
        break;
    case Inbound::SHT:
        if (need(2))
            handler.onServerShutdown(f.at(1));
        break;
    case Inbound::OtLog:
        if (need(2))
            handler.onLoggedOnElsewhere(f.at(1));
        break;
    case Inbound::Version:
        if (need(2))
            handler.onVersionRefused(f.at(1));
        break;
    case Inbound::ALLM:
        if (!need(2))
            break;
        if (f.at(1) == QLatin1String("MSG")) {
            if (need(3))
                handler.onDownloadMessage(f.at(2));
        } else if (f.at(1) == QLatin1String("START")) {
            handler.onDownloadStart();
        } else if (f.at(1) == QLatin1String("END")) {
            handler.onDownloadEnd();
        }
        break;
    case Inbound::None:
        break;
    }
}

} // namespace wispline
