#include "app/SessionState.h"

namespace wispline
{

namespace
{
SessionState g_session;
}

SessionState& session()
{
    return g_session;
}

void resetSession()
{
    g_session = SessionState();
}

} // namespace wispline
