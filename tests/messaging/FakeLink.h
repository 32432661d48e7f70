#pragma once
// A server link that records what would go on the wire.
#include "link/LinkWriter.h"

#include <QStringList>
#include <functional>
#include <utility>

namespace wispline::test
{

class FakeLink final : public LinkWriter
{
public:
    bool connected = true;
    bool writeFails = false; // connected, but the write finds the connection gone
    QStringList sent;
    std::function<void()> duringSend; // runs once, where the real link yields

    bool isConnected() const override { return connected; }
    bool send(const QString& message) override
    {
        if (!connected || writeFails)
            return false;
        sent << message;
        if (auto hook = std::exchange(duringSend, nullptr))
            hook();
        return true;
    }
};

} // namespace wispline::test
