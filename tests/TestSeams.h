#pragma once
// Test doubles for the replaceable services: scripted message boxes, a fixed clock, a recorded
// process end, a chosen program folder and a fixed screen. Install with a Seams object in a
// test's init(); everything is restored when it goes out of scope.
#include "app/Seams.h"
#include "app/SessionState.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <deque>
#include <functional>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace wispline::test
{

class RecordingBoxes final : public MessageBoxes
{
public:
    QList<BoxRequest> shown;
    std::deque<BoxAnswer> answers;                 // scripted answers, taken in order
    std::function<void(const BoxRequest&)> onShow; // runs while the box is "open"

    BoxAnswer show(const BoxRequest& r) override
    {
        shown.append(r);
        if (onShow)
            onShow(r);
        if (!answers.empty()) {
            const BoxAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return r.defaultButton;
    }
    // Notices are recorded with the boxes and answered at once, unless held open.
    bool holdNotices = false;
    std::vector<std::function<void()>> openNotices;
    void showNotice(const BoxRequest& r, std::function<void()> answered) override
    {
        shown.append(r);
        if (holdNotices)
            openNotices.push_back(std::move(answered));
        else if (answered)
            answered();
    }
    void answerNotices()
    {
        for (auto& answered : std::exchange(openNotices, {}))
            if (answered)
                answered();
    }
    QStringList texts() const
    {
        QStringList t;
        for (const auto& r : shown)
            t << r.text;
        return t;
    }
    // Each shown box as one comparable line, made by box().
    QStringList lines() const;
    const BoxRequest& last() const { return shown.last(); }
    int count() const { return int(shown.size()); }
};

// A shown box as one comparable line: title, icon and text.
inline QString box(const QString& title, BoxIcon icon, const QString& text)
{
    return title + QLatin1Char('|') + QString::number(int(icon)) + QLatin1Char('|') + text;
}

inline QStringList RecordingBoxes::lines() const
{
    QStringList l;
    for (const auto& r : shown)
        l << box(r.title, r.icon, r.text);
    return l;
}

// One data row of text columns, in column order.
inline void textRow(const char* name, const QStringList& values)
{
    QTestData& row = QTest::newRow(name);
    for (const QString& v : values)
        row << v;
}

class FixedClock final : public Clock
{
public:
    QDateTime value = QDateTime(QDate(2026, 12, 5), QTime(10, 32, 15));
    QDateTime now() const override { return value; }
};

class RecordingExit final : public ProcessExit
{
public:
    QStringList ends;
    QList<int> statuses;
    void endNow(const char* where, int status) override
    {
        ends << QString::fromLatin1(where);
        statuses << status;
    }
    bool ended() const { return !ends.isEmpty(); }
};

class FixedFolder final : public ProgramFolder
{
public:
    QString folder;
    QString path() const override { return folder; }
};

class FixedScreen final : public ScreenInfo
{
public:
    QRect whole = QRect(0, 0, 1024, 768);
    QRect available = QRect(0, 0, 1024, 740);
    QRect geometry() const override { return whole; }
    QRect availableGeometry() const override { return available; }
};

struct Seams {
    RecordingBoxes boxes;
    FixedClock clock;
    RecordingExit exit;
    FixedFolder folder;
    FixedScreen screen;

    Seams()
    {
        services::setBoxes(&boxes);
        services::setClock(&clock);
        services::setProcessExit(&exit);
        services::setProgramFolder(&folder);
        services::setScreen(&screen);
    }
    ~Seams()
    {
        services::setBoxes(nullptr);
        services::setClock(nullptr);
        services::setProcessExit(nullptr);
        services::setProgramFolder(nullptr);
        services::setScreen(nullptr);
    }
    Seams(const Seams&) = delete;
    Seams& operator=(const Seams&) = delete;
};

// While it lives, no file can be saved in `folder`, whoever runs the test: the folder takes no
// new file, and (for root, whom permissions do not stop) no file may grow past one byte.
class UnwritableFolder
{
public:
    explicit UnwritableFolder(const QString& folder)
        : folder_(folder), permissions_(QFile::permissions(folder))
    {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        ::getrlimit(RLIMIT_FSIZE, &limit_);
        rlimit small = limit_;
        small.rlim_cur = 1;
        ::setrlimit(RLIMIT_FSIZE, &small);
        previous_ = ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
    }
    ~UnwritableFolder()
    {
        ::setrlimit(RLIMIT_FSIZE, &limit_);
        ::signal(SIGXFSZ, previous_);
        QFile::setPermissions(folder_, permissions_);
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

private:
    QString folder_;
    QFileDevice::Permissions permissions_;
    rlimit limit_ = {};
    void (*previous_)(int) = nullptr;
};

// What most tests start from: the seams, a fresh session and an empty temporary folder that is
// the program folder. Made in init(), dropped in cleanup().
struct Sandbox {
    Seams seams;
    QTemporaryDir dir;

    Sandbox()
    {
        resetSession();
        seams.folder.folder = dir.path();
    }
    ~Sandbox() { resetSession(); }
};

} // namespace wispline::test
