// Index engines: the static-key B*-tree: walks over ranges, record numbers
// and estimates. See mvseIndexEngineStaticKeyBstarTree.h.
//
// Not built yet: each is refused with 12289.
#include "foundation/errors/mvllErrors.h"
#include "index/mvseIndexEngineStaticKeyBstarTree.h"

namespace {
[[noreturn]] void NotYet(const char16_t* aOperation) {
  throw EmvBaseIndexEngineException(MVERR_NOTSUPPORTED, u"%s not supported by %s",
                                    {String(aOperation), String(u"TmvStaticKeyBstarTreeIndexEngine")});
}
}  // namespace

void TmvStaticKeyBstarTreeIndexEngine::Iterate(TmvBaseTransaction*, TmvBaseIndexPath*, uint8_t*&,
                                               const TmvKeyIterator&, const TmvRecordIterator&, void*,
                                               const TmvRangeInfo&, const TmvRangeInfo&, TmvBaseFilterEngine*,
                                               TmvBaseFilterEngine*, bool) {
  NotYet(u"Iterate");
}

void TmvStaticKeyBstarTreeIndexEngine::IterateBackward(TmvBaseTransaction*, TmvBaseIndexPath*, uint8_t*&,
                                                       const TmvKeyIterator&, const TmvRecordIterator&, void*,
                                                       const TmvRangeInfo&, const TmvRangeInfo&,
                                                       TmvBaseFilterEngine*, TmvBaseFilterEngine*, bool) {
  NotYet(u"IterateBackward");
}

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoGet(TmvBaseTransaction*, TmvBaseIndexPath*, const TmvRangeInfo&,
                                                   const TmvRangeInfo&, TmvBaseFilterEngine*, TmvBaseFilterEngine*,
                                                   int32_t&, bool) {
  NotYet(u"RecNoGet");
}

int32_t TmvStaticKeyBstarTreeIndexEngine::RecNoSet(TmvBaseTransaction*, int32_t, TmvBaseIndexPath*,
                                                   const TmvRangeInfo&, const TmvRangeInfo&, TmvBaseFilterEngine*,
                                                   TmvBaseFilterEngine*, bool) {
  NotYet(u"RecNoSet");
}

void TmvStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TmvBaseTransaction*, const TmvRangeInfo&,
                                                           const TmvRangeInfo&, int64_t&, bool) {
  NotYet(u"EstimateRecordCount");
}
