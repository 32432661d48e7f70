#pragma once
// SIGTERM, SIGINT and SIGHUP as an ordinary event: the signals are blocked in every thread and
// read from a descriptor that the event loop watches, so the orderly end runs on the GUI thread
// like any other handler.
#include <QObject>

class QSocketNotifier;

namespace wispline
{

class EndSignals : public QObject
{
    Q_OBJECT
public:
    // Call before any thread is started, so that every thread inherits the blocked set.
    static void block();

    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;
    bool isWatching() const { return fd_ >= 0; }

signals:
    void received(const char* name);

private:
    void readOne();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace wispline
