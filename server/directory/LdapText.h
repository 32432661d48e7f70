#pragma once
// A user name put into a directory's distinguished name or search filter stays one value: its
// special characters are escaped, so a name can neither name another entry nor widen a search.
// Everything here is UTF-8, as the directory reads it.
#include <QByteArray>
#include <QList>
#include <QString>

namespace wispline::server::ldaptext
{

// An attribute value within a distinguished name: the characters that end or join values
// ('"', '+', ',', ';', '<', '>', '=', '\'), a leading '#' or space and a trailing space take a
// backslash; control characters and NUL their two hex digits.
QByteArray escapeDnValue(const QString& value);
// An assertion value within a search filter: '*', '(', ')', '\', NUL and the control characters
// as a backslash and two hex digits.
QByteArray escapeFilterValue(const QString& value);

enum class Escape { DnValue, FilterValue };
struct Placeholder {
    char letter; // "%s", "%g"
    QString value;
};
// The pattern with each placeholder replaced by its value, escaped the given way, and "%%" by
// "%". False, with the reason, for a placeholder not given or a '%' that ends the pattern.
bool expand(const QString& pattern, const QList<Placeholder>& values, Escape escape,
            QByteArray* out, QString* problem = nullptr);

} // namespace wispline::server::ldaptext
