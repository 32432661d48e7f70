#include "messaging/MessageLog.h"

#include "app/RichText.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "link/Ansi.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QPalette>
#include <QSaveFile>
#include <QTextDocument>
#include <QTextEdit>
#include <utility>

namespace wispline
{

namespace
{

const QString kMessageFileTitle = QStringLiteral("Message File");
const QString kDisconnectedAt = QStringLiteral("Diconnected At ");

// The long time format names the time zone; the log and the message area show the clock
// time only. Quoted literals are kept as they are.
QString withoutTimeZone(const QString& format)
{
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    out.remove(QStringLiteral("()"));
    return out.trimmed();
}

} // namespace

QString timeOfDayText(const QTime& time)
{
    const QLocale locale = QLocale::system();
    QString format = withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    if (format.isEmpty())
        format = QStringLiteral("HH:mm:ss");
    return locale.toString(time, format);
}

QString generalDateText(const QDateTime& dateTime)
{
    return QLocale::system().toString(dateTime.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           timeOfDayText(dateTime.time());
}

QString toFileLineBreaks(const QString& documentText)
{
    QString out;
    out.reserve(documentText.size() + documentText.size() / 8);
    for (qsizetype i = 0; i < documentText.size(); ++i) {
        const QChar c = documentText.at(i);
        switch (c.unicode()) {
        case u'\r':
            // CR LF and a lone CR are both one line break.
            if (i + 1 < documentText.size() && documentText.at(i + 1) == QLatin1Char('\n'))
                ++i;
            out += kLineBreak;
            break;
        case u'\n':
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
        case 0xfdd0: // beginning of a frame
        case 0xfdd1: // end of a frame
            out += kLineBreak;
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString areaSnapshot(const QTextEdit* area)
{
    // The raw text keeps no-break spaces, which the plain-text view would turn into spaces.
    return toFileLineBreaks(area->document()->toRawText());
}

MessageLog::MessageLog(QString path) : path_(std::move(path)) {}

bool MessageLog::exists() const
{
    return QFileInfo::exists(path_);
}

bool MessageLog::readAll(QString& text)
{
    error_.clear();
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        error_ = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error_ = file.errorString();
        return false;
    }
    text = ansi::decode(bytes);
    return true;
}

QByteArray MessageLog::content(const QString& snapshot, bool disconnected, const QTime& at)
{
    QString text = snapshot;
    if (disconnected)
        text += kDisconnectedAt + timeOfDayText(at) + kLineBreak;
    text += kLineBreak;
    return ansi::encode(text);
}

bool MessageLog::write(const QString& snapshot, bool disconnected, const QTime& at)
{
    error_.clear();
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) {
        error_ = file.errorString();
        return false;
    }
    // Private messages: readable by this account only, whatever the folder allows.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = content(snapshot, disconnected, at);
    if (file.write(bytes) != bytes.size()) {
        error_ = file.errorString();
        file.cancelWriting();
        return false;
    }
    // Push the buffered bytes out first: a short write there would otherwise go unnoticed by
    // commit() and a cut-short file would replace the log.
    if (!file.flush()) {
        error_ = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error_ = file.errorString();
        return false;
    }
    return true;
}

bool MessageLog::keepAside(const QTime& at)
{
    error_.clear();
    const QString base =
        path_ + QStringLiteral(".unreadable-") + at.toString(QStringLiteral("HHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    // Never replaces an existing target; moves a folder at the path as well.
    QFile file(path_);
    if (!file.rename(target)) {
        error_ = file.errorString();
        return false;
    }
    return true;
}

MessageLogView::MessageLogView(QTextEdit* RTBox) : RTBox(RTBox) {}

QColor MessageLogView::earlierLinesColor()
{
    const QColor inactive =
        QGuiApplication::palette().color(QPalette::Inactive, QPalette::WindowText);
    // A black inactive text colour would not set earlier lines apart from the black echo lines.
    if (inactive.lightness() < 64)
        return QColor(128, 128, 128);
    return inactive;
}

void MessageLogView::LoadMessageLog(Report report)
{
    if (loaded_)
        return;
    loaded_ = true;
    auto fail = [&](const QString& description) {
        if (report == Report::Now)
            reportFailure(description);
        else
            heldFailure_ = description;
        failureHeld_ = report != Report::Now;
    };
    MessageLog log(session().MessageLogPath);
    if (log.exists()) {
        QString text;
        if (!log.readAll(text)) {
            // Replacing the file would lose the day's earlier sessions: move it out of the way
            // first, or, when even that fails, never write over it.
            const QString readError = log.errorString();
            if (!log.keepAside(services::clock().now().time())) {
                neverReplace_ = true;
                readError_ = readError;
            }
            fail(readError);
            return;
        }
        insertAtStartInColor(RTBox, text, earlierLinesColor());
        return;
    }
    if (!log.write(areaSnapshot(RTBox), false, services::clock().now().time()))
        fail(log.errorString());
}

void MessageLogView::SaveMessageLog(bool Disconnected)
{
    if (!loaded_)
        LoadMessageLog();
    if (neverReplace_) {
        reportFailure(readError_);
        return;
    }
    MessageLog log(session().MessageLogPath);
    if (!log.write(areaSnapshot(RTBox), Disconnected, services::clock().now().time()))
        reportFailure(log.errorString());
}

bool MessageLogView::saveQuietly(bool Disconnected)
{
    if (!loaded_ || neverReplace_) {
        lastError_ = loaded_ ? readError_ : QStringLiteral("the day's log was not read yet");
        return false;
    }
    MessageLog log(session().MessageLogPath);
    if (log.write(areaSnapshot(RTBox), Disconnected, services::clock().now().time()))
        return true;
    lastError_ = log.errorString();
    return false;
}

void MessageLogView::reportHeldFailure()
{
    if (!std::exchange(failureHeld_, false))
        return;
    reportFailure(std::exchange(heldFailure_, QString()));
}

void MessageLogView::reportFailure(const QString& description)
{
    if (failureBoxOpen_)
        return;
    failureBoxOpen_ = true;
    showBox(description.isEmpty() ? QStringLiteral("Path/File access error") : description,
            kMessageFileTitle, BoxIcon::Critical);
    failureBoxOpen_ = false;
}

} // namespace wispline
