#pragma once
// What the senders of the client (compose, download, password change) need of the server link.
#include <QString>

namespace wispline
{

class LinkWriter
{
public:
    virtual ~LinkWriter() = default;
    // The socket's state is "connected" (7).
    virtual bool isConnected() const = 0;
    // One socket write carrying exactly `message`, then one turn of the event loop.
    // False when nothing could be handed to the connection (not connected, or the write failed).
    virtual bool send(const QString& message) = 0;
};

} // namespace wispline
