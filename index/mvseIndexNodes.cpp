// Index engines: node format, sizes and the node reader. See mvseIndexNodes.h.
#include "index/mvseIndexNodes.h"

#include <algorithm>
#include <random>

#include "foundation/errors/mvllErrors.h"
#include "storage/files/mvsrBaseFile.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/transactions/mvsrTransaction.h"

namespace {

// A key's room in a node: longer keys are kept 4-byte aligned.
uint32_t KeyRoom(uint32_t aKeyLength) { return aKeyLength > 32 ? (aKeyLength + 3) & ~3u : aKeyLength; }

}  // namespace

uint64_t mvNewIdentCounter(TmvLSN aLSN) {
  // Any generator will do: the random part only makes a reused block
  // number unlikely to repeat an old counter.
  thread_local std::minstd_rand generator{std::random_device{}()};
  const uint32_t random = uint32_t(generator() % 65535);
  const uint32_t high = random << 16 | (uint64_t(aLSN) & 0xFFFF);
  return uint64_t(high) << 32;
}

TmvIndexNodeGeometry mvIndexNodeGeometry(uint32_t aKeyLength, bool aAddKeyRefsToKeys, bool aKeysAreRefs,
                                         uint32_t aUsableBytes) {
  TmvIndexNodeGeometry g{};
  g.DescKeyLength = uint16_t(KeyRoom(aKeyLength));
  g.AddKeyRefsToKeys = aAddKeyRefsToKeys;
  g.KeysAreRefs = aKeysAreRefs;
  g.NodeKeyLength = uint16_t(g.DescKeyLength + (aAddKeyRefsToKeys ? 8 : 0));
  g.InternalPair = uint16_t(g.NodeKeyLength + 4);
  g.LeafPair = uint16_t(aKeysAreRefs ? g.DescKeyLength : g.DescKeyLength + 8);
  const uint32_t internalRoom = aUsableBytes > 44 ? aUsableBytes - 44 : 0;
  const uint32_t leafRoom = aUsableBytes > 40 ? aUsableBytes - 40 : 0;
  g.MaxInternalKeys = uint16_t(std::min<uint32_t>(internalRoom / std::max<uint32_t>(g.InternalPair, 1), 0xFFFF));
  g.MaxLeafKeys = uint16_t(std::min<uint32_t>(leafRoom / std::max<uint32_t>(g.LeafPair, 1), 0xFFFF));
  return g;
}

uint32_t mvIndexMinimumUsableBytes(uint32_t aKeyLength, bool aAddKeyRefsToKeys, bool aKeysAreRefs) {
  const uint32_t k = KeyRoom(aKeyLength);
  const uint32_t refs = aAddKeyRefsToKeys ? 32 : 0;
  const uint32_t entry = aKeysAreRefs ? 0 : 8;
  return std::max(60 + 4 * k + refs, 40 + 3 * (k + entry));
}

bool mvIndexBlockFromUnfinishedCommit(const uint8_t* aBlock, TmvBaseTransaction* aTrans, TmvBlockAccess* aFile,
                                      TmvBaseFileHeaderAccess* aHeader) {
  if (aFile->_File()->IsTemporary()) return false;
  const TmvLSN lsn = mvBchLSN(aBlock);
  TmvBaseFileHeaderAccess* zero = aHeader->bfhaMainHeader ? aHeader->bfhaMainHeader : aHeader;
  if (lsn <= zero->GetCurrentLSN()) return false;
  return !(aTrans && lsn <= aTrans->LSN());
}

void mvRaiseInvalidIndexBlockNumber(TmvBlockAccess* aFile, TmvBlockNumber aBlockNumber) {
  throw EmvBaseIndexEngineException(MVERR_INVALIDBLOCKNR,
                                    u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                    {aFile->_File()->FileName(), int32_t(aBlockNumber)});
}

void mvRaiseNotAnIndexBlock(TmvBlockAccess* aFile, TmvBlockNumber aBlockNumber) {
  throw EmvBaseIndexEngineException(MVERR_NOTANINDEXBLOCK,
                                    u"Block just read from file is not a valid index block [%s, block %d]",
                                    {aFile->_File()->FileName(), int32_t(aBlockNumber)});
}

uint8_t* mvReadIndexNode(TmvBaseTransaction* aTrans, TmvBlockAccess* aFile, int32_t aOwnerID,
                         TmvReleaseMethod& aRelease, TmvBlockNumber aBlockNumber, bool aForModify) {
  if (!aFile->ValidBlock(aBlockNumber, aTrans)) mvRaiseInvalidIndexBlockNumber(aFile, aBlockNumber);
  TmvHeldBlock held;
  held.Block = aFile->GetBlock(aTrans, aBlockNumber, aOwnerID, aForModify, held.Release);
  if (mvBchSignature(held.Block) != mvIndexNodeSignature || mvBchThisBlock(held.Block) != aBlockNumber)
    mvRaiseNotAnIndexBlock(aFile, aBlockNumber);
  if (aForModify) mvSetInhIdentCounter(held.Block, mvInhIdentCounter(held.Block) + 1);
  return held.Detach(aRelease);
}
