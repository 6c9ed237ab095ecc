// Foundation: the shared definitions of the engine (field types, storage
// identities, enumerations and records shared by the dictionary, storage,
// the server engine and the SQL layers) and the per-thread peer version.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Peer protocol version

// This system's own protocol version.
inline constexpr int32_t mvEngineVersion = 47501;

// The protocol version of the peer that the calling thread serves; the
// thread-local value 0 stands for this engine's own version. Engine code that
// writes for an older peer (message markers, stream versions) asks these.
int32_t mvThreadPeerVersion();
// The same, limited to at most this engine's own version.
int32_t mvThreadPeerVersionCapped();
// Sets the calling thread's peer version (0: this engine's own). Nothing in
// the engine serves an older peer yet; tests and a future transport use it.
void mvSetThreadPeerVersion(int32_t aVersion);
