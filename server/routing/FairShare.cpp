#include "routing/FairShare.h"

#include <algorithm>
#include <cmath>

namespace wispline::server
{

FairShare::FairShare(const Rates& rates, qint64 nowMs) : at_(nowMs), recentAt_(nowMs)
{
    const double perSecond[] = {rates.messages, rates.deliveries, rates.storedBytes};
    const double seconds[] = {Rates::kMessagesBurstSeconds, Rates::kDeliveriesBurstSeconds,
                              Rates::kStoredBurstSeconds};
    for (int i = 0; i < 3; ++i) {
        const double burst = perSecond[i] * seconds[i];
        budgets_[i] = {perSecond[i], burst, burst};
    }
}

void FairShare::refill(qint64 nowMs)
{
    const double seconds = double(std::max<qint64>(nowMs - at_, 0)) / 1000;
    at_ = std::max(at_, nowMs);
    for (Budget& b : budgets_)
        b.left = std::min(b.burst, b.left + b.rate * seconds);
}

void FairShare::charge(qint64 nowMs, qint64 messages, qint64 deliveries, qint64 storedBytes)
{
    refill(nowMs);
    budgets_[0].left -= double(messages);
    budgets_[1].left -= double(deliveries);
    budgets_[2].left -= double(storedBytes);
    recent_ = recentlyStored(nowMs) + double(storedBytes);
    recentAt_ = std::max(recentAt_, nowMs);
}

qint64 FairShare::waitMs(qint64 nowMs)
{
    refill(nowMs);
    // What the refill leaves below zero by rounding alone is no debt: the wait worked out
    // before it is kept to the millisecond.
    constexpr double kRounding = 1e-6;
    double seconds = 0;
    for (const Budget& b : budgets_) {
        if (b.left < -kRounding)
            seconds = std::max(seconds, -b.left / b.rate);
    }
    return qint64(std::ceil(seconds * 1000));
}

double FairShare::recentlyStored(qint64 nowMs) const
{
    return recent_ * std::exp2(-double(std::max<qint64>(nowMs - recentAt_, 0)) / 1000);
}

} // namespace wispline::server
