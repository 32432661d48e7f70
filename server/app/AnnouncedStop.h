#pragma once
// The operator's announced stop. `--announce-shutdown [TEXT]`, or SIGUSR1 to any server, records
// a notice in the database; every server running on it finds it within a second, tells its users
// the text (SHT, which ends their programs) and stops. Any other stop (SIGTERM, an upgrade, a
// hang-up) resets the users instead, and their clients reconnect. A server started after the
// notice serves as usual: it takes the notice it finds at its start as seen.
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

namespace wispline::server
{

class ServerStore;

// What the users read when the operator gives no text.
inline const QString kDefaultStopText = QStringLiteral("Server is shutting down.");
// The longest text an announcement may carry.
inline constexpr int kMaxStopTextChars = 200;

class AnnouncedStop : public QObject
{
    Q_OBJECT
public:
    explicit AnnouncedStop(ServerStore& store, QObject* parent = nullptr);

    // Takes the notice there now as seen and looks for a new one every second.
    void start();
    void stop() { timer_.stop(); }
    // This server's own announcement (SIGUSR1), recorded for the other servers on the
    // database; false when it could not be. It does not come back as announced().
    bool announce(const QString& text);

    static constexpr int kLookMs = 1000;

signals:
    void announced(const QString& text);

private:
    void look();

    ServerStore& store_;
    std::optional<QString> seen_; // the id of the notice taken as seen, once read
    QTimer timer_;
};

} // namespace wispline::server
