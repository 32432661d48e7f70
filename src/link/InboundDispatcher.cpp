#include "link/InboundDispatcher.h"

namespace wispline
{

using wire::Inbound;

void dispatchInbound(const wire::InboundMessage& message, InboundHandler& handler)
{
    // Fields are decoded only here, and only those the handling reads. A field the handling
    // reads but the message lacks is an error of that message alone; the messages after it are
    // still handled.
    auto field = [&](qsizetype index, QString& value) {
        bool ok = false;
        value = message.field(index, &ok);
        if (!ok)
            handler.onDispatchError(kSubscriptOutOfRange, kSubscriptOutOfRangeText);
        return ok;
    };
    auto present = [&](qsizetype index) {
        bool ok = false;
        message.rawField(index, &ok);
        if (!ok)
            handler.onDispatchError(kSubscriptOutOfRange, kSubscriptOutOfRangeText);
        return ok;
    };
    QString value;

    switch (message.command()) {
    case Inbound::LIU:
        if (field(2, value))
            handler.onLogonAccepted(value);
        break;
    case Inbound::HND:
        handler.onHandshake();
        break;
    case Inbound::Invalid:
        if (field(1, value))
            handler.onLogonRefused(value);
        break;
    case Inbound::USRS:
        handler.onUsersConnected(message.text());
        break;
    case Inbound::OffL:
        if (field(1, value))
            handler.onOfflineMessage(value);
        break;
    case Inbound::LGO:
        handler.onUsersGone(message.text());
        break;
    case Inbound::CHPASS: {
        if (!present(2))
            break;
        const bool success = message.rawField(2) == QByteArrayView("S");
        QString newPassword;
        if (success && !field(3, newPassword))
            break;
        handler.onPasswordReply(message.field(1), success, newPassword);
        break;
    }
    case Inbound::SND:
        if (field(1, value))
            handler.onMessage(value);
        break;
    case Inbound::SHT:
        if (field(1, value))
            handler.onServerShutdown(value);
        break;
    case Inbound::OtLog:
        if (field(1, value))
            handler.onLoggedOnElsewhere(value);
        break;
    case Inbound::Version:
        if (field(1, value))
            handler.onVersionRefused(value);
        break;
    case Inbound::ALLM: {
        if (!present(1))
            break;
        const QByteArrayView subCommand = message.rawField(1);
        if (subCommand == QByteArrayView("MSG")) {
            if (field(2, value))
                handler.onDownloadMessage(value);
        } else if (subCommand == QByteArrayView("START")) {
            handler.onDownloadStart();
        } else if (subCommand == QByteArrayView("END")) {
            handler.onDownloadEnd();
        }
        break;
    }
    case Inbound::None:
        break;
    }
}

} // namespace wispline
