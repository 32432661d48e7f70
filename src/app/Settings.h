#pragma once
// The per-user settings store: application AkWispline, section AkSettings, INI format.
#include <QString>

namespace wispline::settings
{

inline const QString kUser = QStringLiteral("AkWLUser");
inline const QString kMode = QStringLiteral("AkWLMode");
inline const QString kIP = QStringLiteral("AkWLIP");
inline const QString kPort = QStringLiteral("AkWLPort");
inline const QString kSize = QStringLiteral("AkWLSize");
inline const QString kPopup = QStringLiteral("AkWLpopup");
inline const QString kSelection = QStringLiteral("AkWLSelection");

QString get(const QString& key, const QString& defaultValue = QString());
// Saves and syncs at once, so a crash loses nothing the user chose.
void save(const QString& key, const QString& value);

// Text form of a Boolean, as stored: "True" / "False".
QString fromBool(bool value);
// "True"/"False" (any case) give true/false, a number gives true when it is not zero, any
// other text gives false.
bool toBool(const QString& text);

// Where the store lives (tests point it at a temporary folder).
QString filePath();

} // namespace wispline::settings
