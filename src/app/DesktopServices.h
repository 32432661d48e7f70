#pragma once
// The production message boxes and screen, installed once the application object exists.
namespace wispline
{
void installDesktopServices();
}
