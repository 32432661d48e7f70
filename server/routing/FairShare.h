#pragma once
// What one logged-on connection may cost everyone else: the messages taken from it, the
// deliveries they make (one per recipient) and the bytes they have the store write, each a
// budget per second with a burst of some seconds' worth. What a message cost is taken out once
// it is routed; a connection whose budget is spent is not read until it is back at zero (the
// last message may take it below zero, and the pause is longer by what it overdrew), so nothing
// it sent is dropped, and its TCP slows it down. The defaults are far above what a person at a
// keyboard sends; a script that sends alerts may need more (the command line sets them).
//
// It also counts what the connection had the store write lately, so that a store that cannot
// keep up pauses the connections that fill it, largest first.
#include <QtGlobal>

namespace wispline::server
{

// What a connection may cost each second, and the seconds' worth it may spend at once.
struct FairShareRates {
    // A person types a message in seconds; holding Enter on a kept text (keyboard repeat, about
    // 30 a second) for a few seconds stays within the burst of 200.
    static constexpr double kDefaultMessages = 20;
    static constexpr double kMessagesBurstSeconds = 10;
    // A message names up to 1,000 users (or reaches every Level 2 user): twenty such at once,
    // then two a second.
    static constexpr double kDefaultDeliveries = 2000;
    static constexpr double kDeliveriesBurstSeconds = 10;
    // A 1,000-character message to 1,000 offline users has the store write about 2 MB (the
    // day's record and the kept copy for each), which holds up routing for some 20 ms on the
    // development machine: two such at once, then one every eight seconds. A person writing
    // to a few offline users stores a few KB.
    static constexpr double kDefaultStoredBytes = 256 * 1024;
    static constexpr double kStoredBurstSeconds = 16;

    double messages = kDefaultMessages;
    double deliveries = kDefaultDeliveries;
    double storedBytes = kDefaultStoredBytes;
};

class FairShare
{
public:
    using Rates = FairShareRates;

    // Full budgets at nowMs (ms on a steady clock).
    explicit FairShare(const Rates& rates = Rates(), qint64 nowMs = 0);

    // What a message cost, at nowMs.
    void charge(qint64 nowMs, qint64 messages, qint64 deliveries, qint64 storedBytes);
    // How long from nowMs until every budget is back at zero; 0 while none is below.
    qint64 waitMs(qint64 nowMs);
    // Bytes the store was given lately, halved every second.
    double recentlyStored(qint64 nowMs) const;

private:
    struct Budget {
        double rate = 0;
        double burst = 0;
        double left = 0;
    };
    void refill(qint64 nowMs);

    Budget budgets_[3];
    qint64 at_ = 0;
    double recent_ = 0;
    qint64 recentAt_ = 0;
};

} // namespace wispline::server
