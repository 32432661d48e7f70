#include "directory/DirectoryOptions.h"

#include "directory/LdapText.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <utility>

namespace wispline::server
{
namespace
{

// Whether the pattern expands with these placeholders and uses the first of them.
QString patternProblem(const QString& option, const QString& pattern,
                       const QList<ldaptext::Placeholder>& values, ldaptext::Escape escape)
{
    QByteArray out;
    QString problem;
    if (!ldaptext::expand(pattern, values, escape, &out, &problem))
        return QStringLiteral("--%1: %2").arg(option, problem);
    const QString needed = QStringLiteral("%") + QLatin1Char(values.constFirst().letter);
    if (!pattern.contains(needed))
        return QStringLiteral("--%1 needs %2").arg(option, needed);
    return {};
}

// A letter, then letters, digits and hyphens (checked without a regular expression, whose
// engine would be loaded at start only for this).
bool isAttributeName(const QString& name)
{
    const auto letter = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
    };
    if (name.isEmpty() || !letter(name.front()))
        return false;
    return std::all_of(name.begin(), name.end(), [&](QChar c) {
        return letter(c) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               c == QLatin1Char('-');
    });
}

} // namespace

QStringList directoryUrls(const QString& url)
{
    QStringList urls;
    QString current;
    for (const QChar c : url) {
        if (c == QLatin1Char(',') || c == QLatin1Char(' ') ||
            (c >= QLatin1Char('\t') && c <= QLatin1Char('\r'))) {
            if (!current.isEmpty())
                urls.append(std::exchange(current, QString()));
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        urls.append(current);
    return urls;
}

QString directoryOptionsProblem(const DirectoryOptions& o)
{
    if (!o.enabled())
        return {};
    const QStringList urls = directoryUrls(o.url);
    if (urls.isEmpty())
        return QStringLiteral("--ldap needs an address");
    for (const QString& url : urls) {
        // A password never crosses the network in clear: StartTLS or LDAPS, nothing else.
        if (!url.startsWith(QLatin1String("ldap://"), Qt::CaseInsensitive) &&
            !url.startsWith(QLatin1String("ldaps://"), Qt::CaseInsensitive))
            return QStringLiteral("--ldap takes ldap:// (with StartTLS) or ldaps:// addresses, "
                                  "not %1")
                .arg(url);
    }
    if (o.bindPattern.isEmpty() == o.searchBase.isEmpty())
        return QStringLiteral("--ldap needs either --ldap-bind-pattern or --ldap-search-base");
    const QList<ldaptext::Placeholder> name{{'s', QString()}};
    if (!o.bindPattern.isEmpty()) {
        if (QString p = patternProblem(QStringLiteral("ldap-bind-pattern"), o.bindPattern, name,
                                       ldaptext::Escape::DnValue);
            !p.isEmpty())
            return p;
    } else if (QString p = patternProblem(QStringLiteral("ldap-filter"), o.filter, name,
                                          ldaptext::Escape::FilterValue);
               !p.isEmpty()) {
        return p;
    }
    if (!o.filter.startsWith(QLatin1Char('(')) || !o.filter.endsWith(QLatin1Char(')')))
        return QStringLiteral("--ldap-filter is written in parentheses, as (uid=%s)");
    if (!o.memberFilter.isEmpty()) {
        if (QString p =
                patternProblem(QStringLiteral("ldap-member-filter"), o.memberFilter,
                               {{'g', QString()}, {'s', QString()}}, ldaptext::Escape::FilterValue);
            !p.isEmpty())
            return p;
        if (!o.memberFilter.startsWith(QLatin1Char('(')) ||
            !o.memberFilter.endsWith(QLatin1Char(')')))
            return QStringLiteral("--ldap-member-filter is written in parentheses, as "
                                  "(memberOf=%g)");
    }
    if (o.groups[0].isEmpty() && o.groups[1].isEmpty() && o.groups[2].isEmpty())
        return QStringLiteral("--ldap needs the group of at least one level "
                              "(--ldap-level1-group, --ldap-level2-group, --ldap-level3-group)");
    for (const auto& [option, value] : {std::pair("ldap-member-attribute", o.memberAttribute),
                                        {"ldap-name-attribute", o.nameAttribute}}) {
        if (!isAttributeName(value))
            return QStringLiteral("--%1 needs an attribute name").arg(QLatin1String(option));
    }
    if (!o.supervisorAttribute.isEmpty() && !isAttributeName(o.supervisorAttribute))
        return QStringLiteral("--ldap-supervisor-attribute needs an attribute name (or an "
                              "empty one for none)");
    if (!o.passwordFile.isEmpty() && o.bindDn.isEmpty())
        return QStringLiteral("--ldap-password-file goes with --ldap-bind-dn");
    return {};
}

bool readDirectoryPassword(DirectoryOptions* o, QString* error)
{
    if (!o->enabled() || o->bindDn.isEmpty())
        return true;
    if (o->passwordFile.isEmpty()) {
        o->bindPassword = qgetenv(DirectoryOptions::kPasswordVariable);
        qunsetenv(DirectoryOptions::kPasswordVariable); // no child or crash report gets it
        if (o->bindPassword.isEmpty()) {
            *error = QStringLiteral("--ldap-bind-dn needs the service account's password: in "
                                    "--ldap-password-file FILE or in $%1")
                         .arg(QLatin1String(DirectoryOptions::kPasswordVariable));
            return false;
        }
        return true;
    }
    const QString& file = o->passwordFile;
    struct stat info {
    };
    if (::stat(QFile::encodeName(file).constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(file, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        *error = QStringLiteral("the password file %1 can be read by others than its owner; "
                                "chmod 600 it (or 400)")
                     .arg(file);
        return false;
    }
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(file, f.errorString());
        return false;
    }
    // The first line, without its line end: what `echo secret > FILE` wrote.
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        *error = QStringLiteral("the password file %1 is empty").arg(file);
        return false;
    }
    o->bindPassword = line;
    return true;
}

} // namespace wispline::server
