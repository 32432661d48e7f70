// The day's message log file, and the day's messages downloaded into their own view.
#include "TestSeams.h"
#include "WidgetProbes.h"
#include "app/RichText.h"
#include "app/SessionState.h"
#include "messaging/DayMessages.h"
#include "messaging/FakeLink.h"
#include "messaging/MessageLog.h"

#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>
#include <csignal>
#include <memory>
#include <optional>
#include <sys/resource.h>

using namespace wispline;

namespace
{

const QColor kBlue(0, 0, 255);
const QString kNote = QStringLiteral("Press Esc Key to go back to Main Window.\n\n");

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Caps the size of files this process may write, so a save fails part-way as on a full disk
// (works for every user, root included). Restored when it goes out of scope.
struct FileSizeCap {
    rlimit old{};
    explicit FileSizeCap(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit capped = old;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap() { setrlimit(RLIMIT_FSIZE, &old); }
};

} // namespace

class TestMessageLog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        sb_ = std::make_unique<test::Sandbox>();
        path_ = sb_->dir.filePath(QStringLiteral("M05122026.Msg"));
        session().MessageLogPath = path_;
    }
    void cleanup() { sb_.reset(); }

    void twoSessionsOfOneDay()
    {
        // The time of day as the fixed clock gives it, with no zone (one was appended once).
        const QByteArray closed = "Diconnected At 10:32:15\r\n\r\n";
        QTextEdit first;
        MessageLogView log1(&first);
        log1.LoadMessageLog();
        QCOMPARE(fileBytes(path_), QByteArray("\r\n"));
        appendInColor(&first, QStringLiteral("blue\r\n\r\n"), kBlue);
        appendInColor(&first, QStringLiteral("red\r\n\r\n"), QColor(255, 0, 0));
        log1.SaveMessageLog(false);
        QCOMPARE(fileBytes(path_), QByteArray("blue\r\n\r\nred\r\n\r\n\r\n"));
        log1.SaveMessageLog(true);
        QCOMPARE(fileBytes(path_), "blue\r\n\r\nred\r\n\r\n" + closed);

        QTextEdit second;
        MessageLogView log2(&second);
        log2.LoadMessageLog();
        appendInColor(&second, QStringLiteral("new\r\n\r\n"), kBlue);
        QVERIFY(second.toPlainText().startsWith(QStringLiteral("blue\n\nred\n\nDiconnected At ")));
        // Earlier lines come back in one colour whatever colour they had; new lines keep theirs.
        const QColor earlier = MessageLogView::earlierLinesColor();
        QVERIFY(earlier != QColor(0, 0, 0));
        QCOMPARE(test::colourOf(&second, QStringLiteral("blue")), earlier);
        QCOMPARE(test::colourOf(&second, QStringLiteral("red")), earlier);
        QCOMPARE(test::colourOf(&second, QStringLiteral("new")), kBlue);
        log2.SaveMessageLog(false);
        QCOMPARE(fileBytes(path_), "blue\r\n\r\nred\r\n\r\n" + closed + "new\r\n\r\n\r\n");
        QCOMPARE(sb_->seams.boxes.count(), 0);
    }

    void fileTextRoundTrips_data()
    {
        QTest::addColumn<QByteArray>("fileText");
        QTest::addColumn<QByteArray>("savedText");
        QTest::newRow("blank lines kept")
            << QByteArray("a\r\n\r\n\r\nb") << QByteArray("a\r\n\r\n\r\nb\r\n");
        QTest::newRow("bare LF and lone CR")
            << QByteArray("a\nb\rc") << QByteArray("a\r\nb\r\nc\r\n");
        QByteArray latin1(" ~\t\xa0\xe9\xff");
        for (int c = 0x20; c <= 0xff; c += 7)
            latin1 += char(c);
        QTest::newRow("Latin-1 bytes, no-break space") << latin1 << (latin1 + "\r\n");
    }

    void fileTextRoundTrips()
    {
        QFETCH(QByteArray, fileText);
        QFETCH(QByteArray, savedText);
        QFile f(path_);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(fileText) == fileText.size());
        f.close();
        QTextEdit area;
        MessageLogView log(&area);
        log.LoadMessageLog();
        log.SaveMessageLog(false);
        QCOMPARE(fileBytes(path_), savedText);
    }

    void failureBoxesDoNotStack_data()
    {
        QTest::addColumn<QString>("path"); // empty: the day's file is a folder
        QTest::addColumn<int>("sizeCap");  // bytes a file may grow to; 0: no cap
        QTest::addColumn<int>("areaSize"); // characters in the message area
        const QString day = QStringLiteral("M05122026.Msg");
        QTest::newRow("save, path is a folder") << QString() << 0 << 4;
        QTest::newRow("save, folder missing") << QStringLiteral("missing/M.Msg") << 0 << 4;
        QTest::newRow("save, disk full") << day << 1024 << 64 * 1024;
        // Short enough to sit in the file's write buffer until the save is committed.
        QTest::newRow("save, disk full, buffered") << day << 1024 << 4096;
    }

    void failureBoxesDoNotStack()
    {
        QFETCH(QString, path);
        QFETCH(int, sizeCap);
        QFETCH(int, areaSize);
        const QString kept(areaSize, QLatin1Char('k'));
        QTextEdit area;
        appendInColor(&area, kept, kBlue);
        MessageLogView log(&area);
        // The window's load ran while the day had no file yet; the fault came later.
        log.LoadMessageLog();
        QVERIFY(QFile::remove(path_));
        if (path.isEmpty())
            QVERIFY(QDir().mkdir(path_));
        else
            session().MessageLogPath = sb_->dir.filePath(path);
        QFile earlier(path_);
        QVERIFY(!sizeCap ||
                (earlier.open(QIODevice::WriteOnly) && earlier.write("earlier\r\n") == 9));
        earlier.close();
        // Timer ticks keep coming while the box waits for the user.
        int nested = 0;
        sb_->seams.boxes.onShow = [&](const BoxRequest&) {
            ++nested;
            log.SaveMessageLog(false);
            log.SaveMessageLog(true);
        };
        {
            std::optional<FileSizeCap> cap;
            if (sizeCap)
                cap.emplace(sizeCap);
            log.SaveMessageLog(true);
        }

        QCOMPARE(nested, 1);
        QCOMPARE(sb_->seams.boxes.count(), 1);
        QCOMPARE(sb_->seams.boxes.last().title, QStringLiteral("Message File"));
        QCOMPARE(area.toPlainText(), kept);
        // An interrupted save leaves the earlier file whole and no half-written file behind.
        QCOMPARE(QDir(sb_->dir.path()).entryList(QDir::Files | QDir::Hidden),
                 sizeCap ? QStringList{QStringLiteral("M05122026.Msg")} : QStringList());
        if (sizeCap)
            QCOMPARE(fileBytes(path_), QByteArray("earlier\r\n"));

        sb_->seams.boxes.onShow = nullptr;
        log.SaveMessageLog(false);
        // Once the fault is gone the save writes; a lasting fault is reported at every try.
        QCOMPARE(sb_->seams.boxes.count(), sizeCap ? 1 : 2);
        QVERIFY(!sizeCap || fileBytes(path_) == kept.toLatin1() + "\r\n");
    }

    void unreadableDayFileIsKeptAside_data()
    {
        QTest::addColumn<QString>("dayName");
        QTest::addColumn<QStringList>("before"); // kept-aside files already there
        QTest::addColumn<QString>("keptAs");     // empty: it cannot be moved
        const QString day = QStringLiteral("M05122026.Msg");
        const QString aside = day + QStringLiteral(".unreadable-103215");
        QTest::newRow("kept aside") << day << QStringList() << aside;
        QTest::newRow("an earlier kept-aside file stays")
            << day << QStringList{aside} << aside + QStringLiteral("-2");
        // No room in the name for the suffix: the file cannot be moved, so it is never replaced.
        QTest::newRow("cannot be moved")
            << QString(240, QLatin1Char('M')) << QStringList() << QString();
    }

    void unreadableDayFileIsKeptAside()
    {
        QFETCH(QString, dayName);
        QFETCH(QStringList, before);
        QFETCH(QString, keptAs);
        path_ = sb_->dir.filePath(dayName);
        session().MessageLogPath = path_;
        // A folder at the day's path cannot be read as a file, by root either.
        QVERIFY(QDir().mkpath(path_ + QStringLiteral("/earlier")));
        for (const QString& name : before) {
            QFile f(sb_->dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("older") == 5);
        }
        QTextEdit area;
        appendInColor(&area, QStringLiteral("new"), kBlue);
        MessageLogView log(&area);
        int nested = 0;
        sb_->seams.boxes.onShow = [&](const BoxRequest&) {
            ++nested;
            log.SaveMessageLog(false); // the connect timer ticks on while the box waits
        };
        log.LoadMessageLog();
        QCOMPARE(nested, 1);
        QCOMPARE(sb_->seams.boxes.lines().first(),
                 test::box("Message File", BoxIcon::Critical, sb_->seams.boxes.last().text));
        QCOMPARE(area.toPlainText(), QStringLiteral("new"));

        sb_->seams.boxes.onShow = nullptr;
        log.SaveMessageLog(false);
        QVERIFY(QFileInfo::exists(sb_->dir.filePath(keptAs.isEmpty() ? dayName : keptAs) +
                                  QStringLiteral("/earlier")));
        for (const QString& name : before)
            QCOMPARE(fileBytes(sb_->dir.filePath(name)), QByteArray("older"));
        // Every save says why it did not write; once moved aside, the day's file is written.
        QCOMPARE(sb_->seams.boxes.count(), keptAs.isEmpty() ? 2 : 1);
        QVERIFY(keptAs.isEmpty() || fileBytes(path_) == QByteArray("new\r\n"));
    }

    // The link saves on some paths that can run before the window's load reached the log.
    void saveBeforeLoadKeepsEarlierLines()
    {
        QFile f(path_);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("earlier\r\n") == 9);
        f.close();
        QTextEdit area;
        appendInColor(&area, QStringLiteral("new\r\n"), kBlue);
        MessageLogView log(&area);
        log.SaveMessageLog(false);
        const QByteArray both("earlier\r\nnew\r\n\r\n");
        QCOMPARE(fileBytes(path_), both);
        log.LoadMessageLog();
        log.SaveMessageLog(false);
        QCOMPARE(fileBytes(path_), both);
        QCOMPARE(sb_->seams.boxes.count(), 0);
    }

    // The day's messages downloaded from the server, in their own view.
    void dayMessages_data()
    {
        QTest::addColumn<QList<QStringList>>("downloads");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing downloaded yet") << QList<QStringList>{} << QString();
        QTest::newRow("start and end only") << QList<QStringList>{{}} << QString();
        QTest::newRow("messages in order, markup as text")
            << QList<QStringList>{{QStringLiteral("<b>one</b>"), QStringLiteral("two")}}
            << (QStringLiteral("<b>one</b>\n\ntwo\n\n") + kNote);
        QTest::newRow("next download replaces the last")
            << QList<QStringList>{{QStringLiteral("old")}, {QStringLiteral("new")}}
            << (QStringLiteral("new\n\n") + kNote);
    }

    void dayMessages()
    {
        QFETCH(QList<QStringList>, downloads);
        QFETCH(QString, expected);
        QWidget window;
        auto* fra = new QWidget(&window);
        auto* view = new QTextEdit(fra);
        fra->hide();
        window.show();
        test::FakeLink link;
        DayMessages day(view, fra, &link);
        for (const QStringList& messages : downloads) {
            day.onStart();
            for (const QString& m : messages)
                day.onMessage(m);
            day.onEnd();
        }
        QCOMPARE(view->toPlainText(), expected);
        QCOMPARE(fra->isHidden(), expected.isEmpty());
        if (expected.isEmpty()) {
            day.mnuViewMessages_Click(); // nothing to view either
            QVERIFY(fra->isHidden() && !day.escapePressed());
            QCOMPARE(sb_->seams.boxes.lines(),
                     QStringList(downloads.size() + 1,
                                 test::box("Day Messages", BoxIcon::Information,
                                           QStringLiteral("No Messages To Display"))));
            return;
        }
        QVERIFY(sb_->seams.boxes.shown.isEmpty());
        QCOMPARE(test::colourOf(view, expected.left(2)), QColor(0, 0, 0));
        QCOMPARE(test::colourOf(view, kNote), QColor(255, 0, 0));
        QVERIFY(day.escapePressed() && fra->isHidden());
        QVERIFY(!day.escapePressed()); // Esc with the view hidden does nothing

        // A new request goes out at once; while disconnected none does. Either way the view waits
        // for replies and keeps what the last download brought.
        session().UserName = QStringLiteral("alice");
        session().UserLevel = QStringLiteral("2");
        session().Password = QStringLiteral(" pw ");
        session().VersionString = QStringLiteral("1.1.1");
        day.mnuDownloadMessages_Click();
        link.connected = false;
        day.mnuDownloadMessages_Click();
        QCOMPARE(link.sent, QStringList{QStringLiteral("ALLMsgs~ALICE2~ pw ~1.1.1")});
        QCOMPARE(sb_->seams.boxes.lines(),
                 QStringList{test::box("All Messages", BoxIcon::Information,
                                       "Connection is Lost. Wait for sometime.\r\nThe request "
                                       "cannot be processed now.")});
        QVERIFY(fra->isHidden());
        day.mnuViewMessages_Click(); // shown again, without asking the server
        QVERIFY(!fra->isHidden());
        QCOMPARE(view->toPlainText(), expected);
        QCOMPARE(link.sent.size(), 1);
    }

private:
    std::unique_ptr<test::Sandbox> sb_;
    QString path_;
};

QTEST_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
