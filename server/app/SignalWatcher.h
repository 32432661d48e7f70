#pragma once
// Turns the stop signals (SIGINT, SIGTERM, SIGHUP, and SIGUSR1 for an announced end) into a Qt
// signal on the event loop's thread: the handler only writes the signal number into a socket
// pair, which a notifier reads.
#include <QObject>

class QSocketNotifier;

namespace wispline::server
{

class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False when the socket pair or the handlers could not be set up.
    bool watch(std::initializer_list<int> signalNumbers);

signals:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace wispline::server
