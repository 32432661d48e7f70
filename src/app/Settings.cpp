#include "app/Settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace wispline::settings
{

namespace
{
const QString kGroup = QStringLiteral("AkSettings");

QSettings store()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("AkWispline"),
                     QStringLiteral("AkWispline"));
}

// The user's file, found as QSettings finds it but without reading it: QSettings keeps what it
// read, and only the first reader of a damaged file learns that it is damaged.
QString userFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/AkWispline/AkWispline.ini");
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// QSettings writes nothing over a file it cannot parse, so one damaged file would swallow every
// later save. The damaged content is kept beside it, under a name that says so, and the user
// starts again from the defaults.
void setAside(const QString& path, const QByteArray& content)
{
    const QString aside = path + QStringLiteral(".corrupt-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QFile file(aside);
    const bool kept =
        file.open(QIODevice::WriteOnly, kOwnerOnly) && file.write(content) == content.size();
    QFile::remove(path);
    qWarning("Settings file %s could not be read: %s; starting from the defaults",
             qUtf8Printable(path),
             kept ? qUtf8Printable(QStringLiteral("kept as ") + aside) : "it could not be kept");
}

// Only the user's own file: a damaged system-wide file is not the user's to move.
bool writeUserFile(const QString& path, const QString& key, const QString& value)
{
    // The user's own preferences: no other account reads them, not even for the moment before
    // a first save is done. QSettings' save keeps the mode of the file it replaces.
    if (!QFile::exists(path) && QDir().mkpath(QFileInfo(path).absolutePath()))
        QFile(path).open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly);
    QSettings s(path, QSettings::IniFormat);
    s.beginGroup(kGroup);
    s.setValue(key, value);
    s.endGroup();
    s.sync();
    QFile::setPermissions(path, kOwnerOnly); // a file written before files were kept private
    return s.status() != QSettings::FormatError;
}
} // namespace

QString get(const QString& key, const QString& defaultValue)
{
    const QString path = userFilePath();
    if (QSettings(path, QSettings::IniFormat).status() == QSettings::FormatError)
        setAside(path, contentOf(path));
    QSettings s = store();
    s.beginGroup(kGroup);
    return s.value(key, defaultValue).toString();
}

void save(const QString& key, const QString& value)
{
    const QString path = userFilePath();
    const QByteArray before = contentOf(path);
    // Some damage shows when the file is read, some only when it is written over.
    if (QSettings(path, QSettings::IniFormat).status() != QSettings::FormatError &&
        writeUserFile(path, key, value))
        return;
    setAside(path, before);
    writeUserFile(path, key, value);
}

QString fromBool(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

bool toBool(const QString& text)
{
    const QString t = text.trimmed();
    if (t.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = t.toDouble(&ok);
    return ok && number != 0.0;
}

QString filePath()
{
    return userFilePath();
}

} // namespace wispline::settings
