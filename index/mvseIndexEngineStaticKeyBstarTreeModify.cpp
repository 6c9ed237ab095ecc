// Index engines: the static-key B*-tree: insert and delete. See
// mvseIndexEngineStaticKeyBstarTree.h.
//
// Not built yet: the tree is written only by whoever made its nodes, so
// each change is refused with 12289.
#include "foundation/errors/mvllErrors.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"

namespace {
[[noreturn]] void NotYet(const char16_t* aOperation) {
  throw EmvBaseIndexEngineException(MVERR_NOTSUPPORTED, u"%s not supported by %s",
                                    {String(aOperation), String(u"TmvStaticKeyBstarTreeIndexEngine")});
}
}  // namespace

void TmvStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TmvBaseTransaction*) { NotYet(u"DeleteAllKeys"); }

bool TmvStaticKeyBstarTreeIndexEngine::DeleteKey(TmvBaseTransaction*, const void*, TmvRefNr, TmvRefNr,
                                                 TmvBaseIndexPath*) {
  NotYet(u"DeleteKey");
}

bool TmvStaticKeyBstarTreeIndexEngine::InsertKey(TmvBaseTransaction*, const void*, TmvRefNr, TmvRefNr,
                                                 TmvBaseIndexPath*) {
  NotYet(u"InsertKey");
}
