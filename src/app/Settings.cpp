#include "app/Settings.h"

#include <QSettings>

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
} // namespace

QString get(const QString& key, const QString& defaultValue)
{
    QSettings s = store();
    s.beginGroup(kGroup);
    return s.value(key, defaultValue).toString();
}

void save(const QString& key, const QString& value)
{
    QSettings s = store();
    s.beginGroup(kGroup);
    s.setValue(key, value);
    s.endGroup();
    s.sync();
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
    return store().fileName();
}

} // namespace wispline::settings
