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
    // Does nothing when not connected.
    virtual void send(const QString& message) = 0;
};

} // namespace wispline
