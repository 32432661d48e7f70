#pragma once
// New connections of a server that speaks TLS wait here, on a thread of their own, until their
// first byte tells what they speak: a TLS handshake record is answered here, off the routing
// thread, so that a slow or stalled handshake holds up nobody; anything else is plain and
// goes on at once. A handshake gets kHandshakeMs from its first byte, and a connection that
// says nothing keeps the deadline it was given.
#include <QString>
#include <QtGlobal>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;

namespace wispline::server
{

class TlsContext;

class TlsHandshaker
{
public:
    static constexpr int kHandshakeMs = 10000;

    // What became of a connection: plain (ssl null), TLS (ssl set, owned by the receiver), or
    // over (descriptor -1, closed here, with the reason).
    struct Outcome {
        quint64 id = 0;
        int descriptor = -1;
        SSL* ssl = nullptr;
        QString reason;
        bool late = false; // said nothing before its deadline
    };

    // done is called on the worker thread, in no lock: the receiver moves it to its own.
    TlsHandshaker(const TlsContext& context, std::function<void(const Outcome&)> done);
    ~TlsHandshaker(); // closes the connections still here, reporting none
    TlsHandshaker(const TlsHandshaker&) = delete;
    TlsHandshaker& operator=(const TlsHandshaker&) = delete;

    // Takes the descriptor; deadlineMs on the monotonic clock (see nowMs()).
    void add(quint64 id, int descriptor, qint64 deadlineMs);
    static qint64 nowMs();

private:
    struct Pending {
        quint64 id;
        int descriptor;
        qint64 deadlineMs;
        SSL* ssl = nullptr;
    };

    void run();
    // False when the connection is done with (reported).
    bool step(Pending& p);
    void finish(Pending& p, bool keep, const QString& reason = {});

    const TlsContext& context_;
    std::function<void(const Outcome&)> done_;
    int wakeFd_ = -1; // an eventfd: new connections, or the end
    std::mutex mutex_;
    std::vector<Pending> incoming_;
    bool stopping_ = false;
    std::vector<Pending> pending_; // the worker's own
    std::thread thread_;
};

} // namespace wispline::server
