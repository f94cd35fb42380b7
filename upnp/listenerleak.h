#pragma once

// Whether this libsoup's listener keeps a reference on every socket it accepts and never drops it
// (libsoup 3.2's does: each connection then leaves its GSocket, about 340 bytes, behind).
//
// Decided once per process by what the library does, not by its version: a throwaway server on a
// private main context accepts one connection on an abstract Unix socket and is destroyed with
// everything it made; a socket that is still alive after that is held by the listener's forgotten
// reference, which nobody else will drop. A probe that cannot finish says no: a reference that might
// not be ours is never dropped.
namespace ListenerLeak
{

bool keepsAcceptedSockets();

} // namespace ListenerLeak
