// Foundation: the per-thread peer protocol version (see mvsdPeerVersion.h).
#include "foundation/types/mvsdPeerVersion.h"

#include <algorithm>

namespace {
thread_local int32_t tPeerVersion = 0;
}  // namespace

int32_t mvThreadPeerVersion() { return tPeerVersion == 0 ? mvEngineVersion : tPeerVersion; }

int32_t mvThreadPeerVersionCapped() { return std::min(mvThreadPeerVersion(), mvEngineVersion); }

void mvSetThreadPeerVersion(int32_t aVersion) { tPeerVersion = aVersion; }
