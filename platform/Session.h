// The session this process runs in, as the server side sees it.
#pragma once

namespace platform {

// The protocol of this process's session: 0 the PC's own console, 1 a
// Citrix ICA session, 2 a Remote Desktop (RDP) session; -1 when the system
// cannot tell (or has no such thing).
int SessionProtocol();

// The number of this process's logon session (Windows); 0 where there is none.
unsigned SessionNumber();

// False when this process's session is known to have no client connected
// now (the user disconnected; the session waits for a reconnect); true when
// one is, or when the system cannot tell (then a channel's open or write says).
bool SessionHasClient();

}  // namespace platform
