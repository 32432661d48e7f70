#pragma once
// The listening socket and the limits on connections that have not logged on yet: a host that
// opens connections and never logs on holds no more than its share, and all of them together
// no more than the cap. Accepting pauses on an error (out of descriptors, say), is logged once,
// and always resumes.
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTcpServer;

namespace wispline::server
{

class Listener : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultMaxAnonymous = 1000;
    static constexpr int kDefaultMaxAnonymousPerAddress = 64;
    // The pause before accepting again after an accept error.
    static constexpr int kRetryMs = 100;

    explicit Listener(QObject* parent = nullptr);
    ~Listener() override;

    // Each accepted descriptor, non-blocking.
    std::function<void(int)> accepted;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    void close();
    QHostAddress address() const;
    quint16 port() const;

    void setLimits(int overall, int perAddress);
    // Counts a connection not logged on from this address; false, and counted nowhere, when
    // that is over a cap (logged once until a connection is taken again).
    bool admit(const QString& address);
    // One admitted connection has logged on or gone.
    void release(const QString& address);

private:
    void acceptWaiting();

    std::unique_ptr<QTcpServer> server_; // binds and listens
    std::unique_ptr<QSocketNotifier> notifier_;
    int maxAnonymous_ = kDefaultMaxAnonymous;
    int maxPerAddress_ = kDefaultMaxAnonymousPerAddress;
    int anonymous_ = 0;
    QHash<QString, int> perAddress_;
    qint64 refused_ = 0; // in the present episode at a cap
    bool failing_ = false;
};

} // namespace wispline::server
