#include "app/AnnouncedStop.h"

#include "store/ServerStore.h"

namespace wispline::server
{

AnnouncedStop::AnnouncedStop(ServerStore& store, QObject* parent) : QObject(parent), store_(store)
{
    connect(&timer_, &QTimer::timeout, this, &AnnouncedStop::look);
}

void AnnouncedStop::start()
{
    look();
    timer_.start(kLookMs);
}

void AnnouncedStop::look()
{
    // A look that fails (the database away) tells nothing; the first that works sets what
    // counts as seen.
    const std::optional<StopNotice> notice = store_.stopNotice();
    if (!notice)
        return;
    if (!seen_) {
        seen_ = notice->id;
        return;
    }
    if (notice->id == *seen_)
        return;
    seen_ = notice->id;
    timer_.stop();
    emit announced(notice->text.trimmed().isEmpty() ? kDefaultStopText : notice->text);
}

bool AnnouncedStop::announce(const QString& text)
{
    timer_.stop();
    return store_.announceStop(text) == StoreResult::Ok;
}

} // namespace wispline::server
