#pragma once
// Decodes each recognised server message and hands it to the window that acts on it.
#include "link/WireProtocol.h"

namespace wispline
{

// Implemented by the main window: one call per inbound message, fields already taken out.
class InboundHandler
{
public:
    virtual ~InboundHandler() = default;
    virtual void onLogonAccepted(const QString& level) = 0;        // LIU
    virtual void onHandshake() = 0;                                // HND
    virtual void onLogonRefused(const QString& reason) = 0;        // Invalid
    virtual void onUsersConnected(const QString& messageText) = 0; // USRS
    virtual void onOfflineMessage(const QString& text) = 0;        // OffL
    virtual void onUsersGone(const QString& messageText) = 0;      // LGO
    virtual void onPasswordReply(const QString& text, bool success,
                                 const QString& newPassword) = 0; // CHPASS
    virtual void onMessage(const QString& displayText) = 0;       // SND
    virtual void onServerShutdown(const QString& text) = 0;       // SHT
    virtual void onLoggedOnElsewhere(const QString& reason) = 0;  // OtLog
    virtual void onVersionRefused(const QString& reason) = 0;     // Version
    virtual void onDownloadStart() = 0;                           // ALLM START
    virtual void onDownloadMessage(const QString& text) = 0;      // ALLM MSG
    virtual void onDownloadEnd() = 0;                             // ALLM END
    // A message that lacks a field its handling reads.
    virtual void onDispatchError(int number, const QString& description) = 0;
};

// Error number and text of a message that lacks a field it needs.
inline constexpr int kSubscriptOutOfRange = 9;
inline const QString kSubscriptOutOfRangeText = QStringLiteral("Subscript out of range");

void dispatchInbound(const wire::InboundMessage& message, InboundHandler& handler);

} // namespace wispline
