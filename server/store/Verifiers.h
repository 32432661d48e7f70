#pragma once
// What the way in remembers of past log-ons, in the database so that every node and every
// restart shares it: a fast verifier of each password that passed a full check lately (an
// HMAC-SHA256 under the server key, which the database does not hold), and the addresses each
// user logged on from in the last 30 days. Both are only ever a short cut: one lost or dropped
// costs a full check, never a log-on. They are written in batches, at most a second after they
// were made (until then they are served from here), so that a crowd logging on costs no commit
// apiece; rows past their age are swept once an hour.
#include "store/Accounts.h"
#include "store/RoutingConnection.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTimer>

namespace wispline::server
{

class Verifiers
{
public:
    // Verifiers are used for this many days after their full check, by default.
    static constexpr int kDefaultDays = 7;
    // A user who logged on from an address within this many days is known there.
    static constexpr int kOriginDays = 30;

    explicit Verifiers(RoutingConnection& routing);

    // 0: no verifier is made or used.
    void setDays(int days) { days_ = days; }
    int days() const { return days_; }

    // The verifier of a password for the account as it is now: a new salt (a new password) or
    // another level makes a verifier made before match nothing.
    static QByteArray verifierOf(const QByteArray& key, const Account& account,
                                 const QByteArray& password);
    static QByteArray keyIdOf(const QByteArray& key);

    // What waits to be written stands over what the record read from the database.
    void overlay(const QString& name, const QString& address, LogOnRecord* record) const;
    void keepVerifier(const QString& name, const QByteArray& verifier, const QByteArray& keyId);
    void keepOrigin(const QString& name, const QString& address);
    // A verifier waiting to be written is dropped (the password or level changed).
    void forget(const QString& name);
    // Writes what waits now; false (and it waits on) when the database refuses.
    bool flush();

private:
    struct Made {
        QByteArray verifier;
        QByteArray keyId;
        qint64 at = 0; // seconds since the epoch
    };
    static QString originKey(const QString& name, const QString& address);
    void scheduleFlush();
    bool write();
    void sweep(qint64 now);

    RoutingConnection& routing_;
    int days_ = kDefaultDays;
    struct Seen {
        QString name;
        QString address;
        qint64 at = 0; // seconds since the epoch
    };
    QHash<QString, Made> verifiers_; // by name
    QHash<QString, Seen> seen_;      // by originKey()
    QTimer flushTimer_;
    qint64 lastSweep_ = 0; // seconds since the epoch
    bool failing_ = false; // logged once until a write works again
};

} // namespace wispline::server
