#pragma once
// The day's message log: a Windows-1252 text file holding a snapshot of the message area, loaded
// back into the area when the main window opens and rewritten from it every minute and at the
// confirmed close.
#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QString>
#include <QTime>

class QTextEdit;

namespace wispline
{

// The time of day in the system's long time format without its time-zone part ("10:32:15",
// "10:32:15 AM", ...).
QString timeOfDayText(const QTime& time);
// The system's short date, a space, then the time of day as above.
QString generalDateText(const QDateTime& dateTime);

// The text of a message area as it goes into the file: every kind of line break the document
// holds (paragraph and line separators, LF, lone CR, CR LF) becomes exactly one CR LF.
QString toFileLineBreaks(const QString& documentText);
// The whole text of `area`, characters kept as they are (no-break spaces included), line
// breaks as CR LF.
QString areaSnapshot(const QTextEdit* area);

// The file itself: whole-file reads and whole-file replacements, no widgets.
class MessageLog
{
public:
    explicit MessageLog(QString path);

    const QString& path() const { return path_; }
    bool exists() const;

    // The whole file, one byte per character. False (see errorString) when it cannot be read.
    bool readAll(QString& text);

    // Replaces the file with `snapshot`, the optional "Diconnected At " line and the final
    // CR LF. The new content goes to a temporary file that is renamed over the old one only
    // when it was written completely, so a failed save leaves the previous file whole.
    bool write(const QString& snapshot, bool disconnected, const QTime& at);

    // Renames the file that could not be read to "<name>.unreadable-<HHmmss>" beside it ("-2",
    // "-3", ... appended when that name is taken), so nothing ever replaces it. False (see
    // errorString) when it cannot be moved.
    bool keepAside(const QTime& at);

    // The description of the last failure.
    QString errorString() const { return error_; }

    // The bytes `write` puts in the file.
    static QByteArray content(const QString& snapshot, bool disconnected, const QTime& at);

private:
    QString path_;
    QString error_;
};

// The message-log routines of the main window, working on its message area.
class MessageLogView
{
public:
    explicit MessageLogView(QTextEdit* RTBox);

    // At the window's load: an existing file of the day goes in front of the area's text in
    // the colour of earlier sessions; otherwise the file is created from the area. A file that
    // cannot be read is kept aside (MessageLog::keepAside) and reported; saves then start the
    // day's file afresh. Runs once; later calls do nothing.
    // With AfterShowing a failure is kept for reportHeldFailure() instead of a box now.
    enum class Report { Now, AfterShowing };
    void LoadMessageLog(Report report = Report::Now);
    void reportHeldFailure();
    // Every minute (false) and at the confirmed close (true). A save that comes before the
    // load runs the load first, so it never replaces earlier sessions' lines it has not read.
    void SaveMessageLog(bool Disconnected);
    // The same without a box on failure: the saves between the minute's ticks leave the
    // reporting of a lasting fault to those ticks, and an end nobody may watch cannot wait
    // for one. False when nothing was saved (see lastError).
    bool saveQuietly(bool Disconnected = false);
    QString lastError() const { return lastError_; }

    // The single colour that lines of earlier sessions are shown in.
    static QColor earlierLinesColor();

private:
    void reportFailure(const QString& description);

    QTextEdit* RTBox;
    bool loaded_ = false;
    // The day's file could not be read and could not be kept aside either: it is never
    // replaced, and every save reports why.
    bool neverReplace_ = false;
    QString readError_;
    // A failure box is open (its modal loop keeps timers running): later failures do not pile
    // further boxes on top of it.
    bool failureBoxOpen_ = false;
    bool failureHeld_ = false;
    QString heldFailure_;
    QString lastError_;
};

} // namespace wispline
