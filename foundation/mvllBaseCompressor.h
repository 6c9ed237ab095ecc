// Foundation: general-purpose compressors and their registry by compress type
// (unit mvllBaseCompressor).
//
// A compressor is a class with two class functions; the "Compressor" record
// compression engine picks one by the compress type of its descriptor. The
// registry has a slot for each type 1 to 255 (type 0 means no compressor),
// each holding a class and a name. The system registers no compressor of
// its own: the registry is there for compressors supplied by an embedding
// program.
//
// Thread-safety: the registry takes its own lock; registration is meant for
// start-up, before tables that use the type are opened.
#pragma once

#include <cstdint>

#include "platform/Components.h"

// The class functions of a compressor.
//  Compress: packs aSourceSize bytes into at most aTargetSize bytes and
//    returns the packed size, 0 when the data does not get smaller.
//  Uncompress: restores exactly aTargetSize bytes from aSourceSize bytes
//    that Compress produced.
struct TmvBaseCompressorClassRef : ClassRef {
  uint32_t (*Compress)(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize);
  void (*Uncompress)(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize);
};
using TmvBaseCompressorClass = const TmvBaseCompressorClassRef*;

// The root of the compressors; its class functions fail an assertion, so a
// compressor must supply both.
class TmvBaseCompressor {
 public:
  static const TmvBaseCompressorClassRef StaticClass;
  static uint32_t Compress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize);
  static void Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize, uint32_t aTargetSize);
};

inline constexpr int mvMaxCompressType = 255;

// Puts aClass (not nil) and aName in slot aType (1 to 255; anything else is
// an assertion failure), replacing what was there.
void mvRegisterCompressor(uint8_t aType, TmvBaseCompressorClass aClass, const String& aName);
// Empties slot aType.
void mvUnregisterCompressor(uint8_t aType);
// The class in slot aType; nil for 0 and for an empty slot.
TmvBaseCompressorClass mvCompressorClass(uint8_t aType);
// The name in slot aType; empty for 0 and for an empty slot.
String mvCompressorName(uint8_t aType);
// Empties every slot, releasing the names (at the unit's shutdown).
void mvClearCompressors();
