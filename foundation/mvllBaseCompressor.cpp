// Foundation: general-purpose compressors and their registry. See
// mvllBaseCompressor.h.
#include "foundation/mvllBaseCompressor.h"

#include <array>
#include <mutex>

namespace {

struct TCompressorSlot {
  TmvBaseCompressorClass Class = nullptr;
  String Name;
};

// Index 0 is type 1: there is no slot for type 0.
struct TCompressorRegistry {
  std::mutex Lock;
  std::array<TCompressorSlot, mvMaxCompressType> Slots;
};

TCompressorRegistry& registry() {
  static TCompressorRegistry r;
  return r;
}

}  // namespace

constinit const TmvBaseCompressorClassRef TmvBaseCompressor::StaticClass{
    {u"TmvBaseCompressor", nullptr}, &TmvBaseCompressor::Compress, &TmvBaseCompressor::Uncompress};

uint32_t TmvBaseCompressor::Compress(const void*, void*, uint32_t, uint32_t) {
  MV_ASSERT(!"TmvBaseCompressor.Compress must be overridden");
  return 0;
}

void TmvBaseCompressor::Uncompress(const void*, void*, uint32_t, uint32_t) {
  MV_ASSERT(!"TmvBaseCompressor.Uncompress must be overridden");
}

void mvRegisterCompressor(uint8_t aType, TmvBaseCompressorClass aClass, const String& aName) {
  MV_ASSERT(aType != 0 && aClass != nullptr);
  TCompressorRegistry& r = registry();
  std::lock_guard guard(r.Lock);
  r.Slots[aType - 1] = {aClass, aName};
}

void mvUnregisterCompressor(uint8_t aType) {
  if (aType == 0) return;
  TCompressorRegistry& r = registry();
  std::lock_guard guard(r.Lock);
  r.Slots[aType - 1] = {};
}

TmvBaseCompressorClass mvCompressorClass(uint8_t aType) {
  if (aType == 0) return nullptr;
  TCompressorRegistry& r = registry();
  std::lock_guard guard(r.Lock);
  return r.Slots[aType - 1].Class;
}

String mvCompressorName(uint8_t aType) {
  if (aType == 0) return {};
  TCompressorRegistry& r = registry();
  std::lock_guard guard(r.Lock);
  return r.Slots[aType - 1].Name;
}

void mvClearCompressors() {
  TCompressorRegistry& r = registry();
  std::lock_guard guard(r.Lock);
  r.Slots.fill({});
}
