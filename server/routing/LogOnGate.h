#pragma once
// The throttling of failed log-ons. A guesser is slowed where it guesses, by (name, address)
// and by address, so that the owner of a name under attack from elsewhere still logs on at once;
// on the name alone, wrong answers come slowly but a right password always gets through. An
// office behind one address is not locked out by one of its own: a user who logged on from the
// address lately passes its lock, the others' checks go at a slower rate (they wait, they are
// not refused), and each user logging on from there lowers its count. Only the (name, address)
// pair being guessed is refused, unchecked; an attempt refused unchecked never extends a lock.
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>

namespace wispline::server
{

class LogOnGate
{
public:
    // Failures in a row before a lock: of a name from one address, and of an address.
    static constexpr int kFreeFailures = 5;
    static constexpr int kFreeAddressFailures = 20;
    static constexpr int kFirstDelayMs = 1000;
    static constexpr int kLongestDelayMs = 60000;
    // The longest a wrong answer for a name under attack is held back.
    static constexpr int kLongestAnswerDelayMs = 8000;
    // A locked address gets one check of a name not known there per this long.
    static constexpr int kLockedCheckGapMs = 1000;

    LogOnGate();

    // The name is refused unchecked from this address for now.
    bool pairLocked(const QString& name, const QString& address) const;
    // Checks from this address of names not known there wait for lockedWait().
    bool addressLocked(const QString& address) const;
    // How long until a locked address's next check may start (0: now); takeLockedTurn() spends
    // the turn.
    qint64 lockedWait(const QString& address) const;
    void takeLockedTurn(const QString& address);

    // A checked failure; how long to hold its answer back (the name is under attack).
    qint64 failed(const QString& name, const QString& address);
    void succeeded(const QString& name, const QString& address);

private:
    struct Failures {
        int count = 0;
        qint64 last = 0;        // ms on clock_
        qint64 lockedUntil = 0; // ms on clock_
        bool logged = false;
        qint64 nextTurn = 0;    // of an address: its next check while locked, ms on clock_
        QSet<QString> credited; // of an address: users whose log-on lowered its count
    };
    // Counts one failure, and locks the source from the free-th on.
    Failures& record(QHash<QString, Failures>& table, const QString& key, int free, qint64 longest);
    bool forgotten(const Failures& f, qint64 now) const;
    static QString pairKey(const QString& name, const QString& address);
    bool locked(const QHash<QString, Failures>& table, const QString& key) const;

    QElapsedTimer clock_;
    qint64 lastSweep_ = -1000000; // ms on clock_
    QHash<QString, Failures> pairs_;
    QHash<QString, Failures> addresses_;
    QHash<QString, Failures> names_;
};

} // namespace wispline::server
