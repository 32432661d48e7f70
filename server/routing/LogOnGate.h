#pragma once
// The way in: password checks off the routing thread, in a bounded queue, and the throttling of
// failed log-ons. A guesser is slowed where it guesses, by (name, address) and by address, so
// that the owner of a name under attack from elsewhere still logs on at once; on the name
// alone, wrong answers come slowly but a right password always gets through. An attempt
// refused unchecked never extends a lock.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

namespace wispline::server
{

class LogOnGate
{
public:
    // Checks waiting or running at once, overall and from one address, by default.
    static constexpr int kDefaultMaxChecks = 256;
    static constexpr int kDefaultMaxChecksPerAddress = 16;
    // Failures in a row before a lock: of a name from one address, and of an address.
    static constexpr int kFreeFailures = 5;
    static constexpr int kFreeAddressFailures = 20;
    static constexpr int kFirstDelayMs = 1000;
    static constexpr int kLongestDelayMs = 60000;
    // The longest a wrong answer for a name under attack is held back.
    static constexpr int kLongestAnswerDelayMs = 8000;

    // Answers come back on context's thread.
    explicit LogOnGate(QObject* context);
    ~LogOnGate();

    void setLimits(int maxChecks, int maxChecksPerAddress);
    int checksWaiting() const { return checks_; } // waiting or running

    enum class Admission { Check, Throttled, Busy };
    Admission admit(const QString& name, const QString& address) const;

    // Runs work on a worker unless cancelled is set by then, then done(ran) on the context's
    // thread; the check counts against its address until done returns.
    void run(const QString& address, std::shared_ptr<std::atomic<bool>> cancelled,
             std::function<void()> work, std::function<void(bool ran)> done);

    // A checked failure; how long to hold its answer back (the name is under attack).
    qint64 failed(const QString& name, const QString& address);
    void succeeded(const QString& name, const QString& address);

    // Finishes what the workers run; answers not yet delivered are dropped.
    void stop();

private:
    struct Failures {
        int count = 0;
        qint64 last = 0;        // ms on clock_
        qint64 lockedUntil = 0; // ms on clock_
        bool logged = false;
    };
    // Counts one failure, and locks the source from the free-th on.
    Failures& record(QHash<QString, Failures>& table, const QString& key, int free, qint64 longest);
    static QString pairKey(const QString& name, const QString& address);
    bool locked(const QHash<QString, Failures>& table, const QString& key) const;

    QObject* context_;
    QThreadPool workers_;
    int maxChecks_ = kDefaultMaxChecks;
    int maxChecksPerAddress_ = kDefaultMaxChecksPerAddress;
    int checks_ = 0;
    QHash<QString, int> checksFrom_;
    QElapsedTimer clock_;
    qint64 lastSweep_ = -1000000; // ms on clock_
    QHash<QString, Failures> pairs_;
    QHash<QString, Failures> addresses_;
    QHash<QString, Failures> names_;
    std::shared_ptr<bool> alive_;
};

} // namespace wispline::server
