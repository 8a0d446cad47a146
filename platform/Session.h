// The session this process runs in, as the server side sees it.
#pragma once

#include <string>

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

// A name held by one holder at a time within this user's session, for as
// long as it holds it; the system lets it go when the holder's process ends,
// however it ends. Windows: a named object in the session's own namespace.
// POSIX: a lock on a file in the user's own folder (the log's), named for
// the X display (an xrdp session's channels are the display's); Unavailable
// where that folder cannot be had (another user took its place).
struct SessionClaim;
enum class Claim { Made, Taken, Unavailable };
// Taken: another holder, in this process or another, has it now.
// Unavailable: no claim can be made here; the caller goes on without.
SessionClaim* ClaimInSession(const std::string& name, Claim* result);
void ReleaseClaim(SessionClaim* claim);

}  // namespace platform
