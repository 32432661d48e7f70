#include "base/ServerMetrics.h"

#include <array>
#include <vector>

namespace wispline::server::metrics
{

std::atomic<quint64> counters[int(Counter::Count)];

namespace
{

struct Description {
    const char* family;
    const char* label;
    const char* help;
};

constexpr Description kCounters[] = {
#define WISPLINE_COUNTER_ROW(name, family, label, help) {family, label, help},
    WISPLINE_SERVER_COUNTERS(WISPLINE_COUNTER_ROW)
#undef WISPLINE_COUNTER_ROW
};

// Seconds; a commit of the SQLite file includes its disk sync, so the upper buckets matter.
constexpr std::array<double, 11> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                            0.1,   0.25,   0.5,   1.0,  2.5};
std::atomic<quint64> commitBuckets[kBounds.size() + 1]; // the last one: above every bound
std::atomic<quint64> commitMicros{0};

struct Gauge {
    QByteArray family;
    QByteArray label;
    QByteArray help;
    std::function<double()> value;
};
std::vector<Gauge>& gauges()
{
    static std::vector<Gauge> all;
    return all;
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 15);
}

void header(QByteArray& out, QByteArray& last, const QByteArray& family, const QByteArray& help,
            const char* type)
{
    if (family == last)
        return;
    last = family;
    out += "# HELP " + family + ' ' + help + "\n# TYPE " + family + ' ' + type + '\n';
}

QByteArray sample(const QByteArray& family, const QByteArray& label, const QByteArray& value)
{
    return family + (label.isEmpty() ? QByteArray() : '{' + label + '}') + ' ' + value + '\n';
}

} // namespace

void observeCommit(double seconds)
{
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && seconds > kBounds[bucket])
        ++bucket;
    commitBuckets[bucket].fetch_add(1, std::memory_order_relaxed);
    commitMicros.fetch_add(quint64(seconds * 1e6), std::memory_order_relaxed);
}

void addGauge(const QByteArray& family, const QByteArray& label, const QByteArray& help,
              std::function<double()> value)
{
    gauges().push_back({family, label, help, std::move(value)});
}

QByteArray render()
{
    QByteArray out;
    QByteArray last;
    for (int i = 0; i < int(Counter::Count); ++i) {
        header(out, last, kCounters[i].family, kCounters[i].help, "counter");
        out += sample(kCounters[i].family, kCounters[i].label,
                      QByteArray::number(counters[i].load(std::memory_order_relaxed)));
    }
    for (const Gauge& g : gauges()) {
        header(out, last, g.family, g.help, "gauge");
        out += sample(g.family, g.label, number(g.value()));
    }
    const QByteArray family = "wispline_store_commit_seconds";
    header(out, last, family, "Time a commit of the store took", "histogram");
    quint64 cumulative = 0;
    for (std::size_t i = 0; i <= kBounds.size(); ++i) {
        cumulative += commitBuckets[i].load(std::memory_order_relaxed);
        const QByteArray bound = i < kBounds.size() ? number(kBounds[i]) : "+Inf";
        out += sample(family + "_bucket", "le=\"" + bound + '"', QByteArray::number(cumulative));
    }
    out += sample(family + "_sum", {}, number(commitMicros.load(std::memory_order_relaxed) / 1e6));
    out += sample(family + "_count", {}, QByteArray::number(cumulative));
    return out;
}

} // namespace wispline::server::metrics
