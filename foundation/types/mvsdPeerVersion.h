// Foundation: the protocol version of the peer that the calling thread
// serves (per-thread state of the shared definitions).
//
// Engine code that writes for another peer (message markers and custom-info
// tags, stream versions) asks these. The value is thread-local: no lock, and
// no other thread sees it. A unit of its own so that the exceptions, which
// need it, and the field types (mvsdTypes.h, which includes this header),
// which raise exceptions, do not depend on each other.
#pragma once

#include <cstdint>

// This system's own protocol version.
inline constexpr int32_t mvEngineVersion = 47501;

// The protocol version of the peer that the calling thread serves; the
// thread-local value 0 stands for this engine's own version.
int32_t mvThreadPeerVersion();
// The same, limited to at most this engine's own version.
int32_t mvThreadPeerVersionCapped();
// Sets the calling thread's peer version (0: this engine's own). Nothing in
// the engine serves an older peer yet; tests and a future transport use it.
void mvSetThreadPeerVersion(int32_t aVersion);
