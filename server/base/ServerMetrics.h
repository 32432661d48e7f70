#pragma once
// The server's counters, gauges and its one histogram, shown by the admin listener in the
// Prometheus text format. A count is one relaxed atomic add, cheap enough for the routing thread
// and safe from the storage thread. No metric carries a user name or an address: their labels
// are fixed words.
#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>

namespace wispline::server::metrics
{

// Each counter: its name in code, its family, its label (or none) and the family's help. A new
// one (TLS handshakes, say) is one more line here and a count() where it happens.
#define WISPLINE_SERVER_COUNTERS(X)                                                                \
    X(LogOnsAccepted, "wispline_logons_total", "result=\"accepted\"", "Log-ons by outcome")        \
    X(LogOnsRefused, "wispline_logons_total", "result=\"refused\"", "Log-ons by outcome")          \
    X(LogOnsThrottled, "wispline_logons_total", "result=\"throttled\"", "Log-ons by outcome")      \
    X(PasswordChecksVerifier, "wispline_password_checks_total", "kind=\"verifier\"",               \
      "Log-on passwords checked, by a fast verifier or by the full check")                         \
    X(PasswordChecksFull, "wispline_password_checks_total", "kind=\"full\"",                       \
      "Log-on passwords checked, by a fast verifier or by the full check")                         \
    X(DirectoryAccepted, "wispline_directory_checks_total", "result=\"accepted\"",                 \
      "Passwords checked by the directory, by its answer")                                         \
    X(DirectoryRefused, "wispline_directory_checks_total", "result=\"refused\"",                   \
      "Passwords checked by the directory, by its answer")                                         \
    X(DirectoryUnanswered, "wispline_directory_checks_total", "result=\"unanswered\"",             \
      "Passwords checked by the directory, by its answer")                                         \
    X(MessagesRouted, "wispline_messages_routed_total", "", "Messages taken from senders")         \
    X(MessagesDelivered, "wispline_messages_delivered_total", "",                                  \
      "Messages whose recipient's TCP acknowledged them")                                          \
    X(MessagesQueuedOffline, "wispline_messages_queued_offline_total", "",                         \
      "Messages kept for recipients not connected")                                                \
    X(MessagesGivenBack, "wispline_messages_given_back_total", "",                                 \
      "Messages a lost connection did not acknowledge, back in the offline queue")                 \
    X(RowsSpilled, "wispline_store_spilled_rows_total", "",                                        \
      "Writes kept in the spill file on the way out, the database not taking them")                \
    X(RowsReplayed, "wispline_store_replayed_rows_total", "",                                      \
      "Writes from the spill file written into the database at the start")                         \
    X(OfflineDropped, "wispline_offline_dropped_total", "",                                        \
      "Oldest messages dropped from an offline queue past its bound")                              \
    X(BytesIn, "wispline_bytes_total", "direction=\"in\"",                                         \
      "Bytes read from and written to clients")                                                    \
    X(BytesOut, "wispline_bytes_total", "direction=\"out\"",                                       \
      "Bytes read from and written to clients")

enum class Counter {
#define WISPLINE_COUNTER_ENUM(name, family, label, help) name,
    WISPLINE_SERVER_COUNTERS(WISPLINE_COUNTER_ENUM)
#undef WISPLINE_COUNTER_ENUM
        Count
};

extern std::atomic<quint64> counters[int(Counter::Count)];

inline void count(Counter which, quint64 amount = 1)
{
    counters[int(which)].fetch_add(amount, std::memory_order_relaxed);
}

// How long a commit of the store took, in seconds (any thread).
void observeCommit(double seconds);

// A value worked out when the metrics are read, on the thread that reads them. Registered at
// start, before the admin listener serves; a label may be empty.
void addGauge(const QByteArray& family, const QByteArray& label, const QByteArray& help,
              std::function<double()> value);

// Everything, in the Prometheus text exposition format (version 0.0.4).
QByteArray render();

} // namespace wispline::server::metrics
