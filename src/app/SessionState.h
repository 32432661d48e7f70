#pragma once
// The process-wide session variables that every window reads and writes.
#include <QString>
#include <cstdint>

namespace wispline
{

struct SessionState {
    QString ServerAddress;
    std::int32_t ServerPort = 0;
    QString UserName;
    QString Password;
    QString UserLevel;
    QString VersionString;
    bool RestoreSelectionOn = false;
    bool WindowSizeLarge = false;
    bool PopupDisabled = false;
    bool LogonDone = false;
    std::uint32_t ThemeBackColor = 0; // 0x00BBGGRR
    std::uint32_t ThemeForeColor = 0; // 0x00BBGGRR
    QString MessageLogPath;

    // The sender address on the wire: the user name immediately followed by the level.
    QString senderAddress() const { return UserName + UserLevel; }
};

SessionState& session();
// Back to the values the process starts with (tests).
void resetSession();

} // namespace wispline
