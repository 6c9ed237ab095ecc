// Storage: version 1 of the table file header. See mvsrFileHeader1x.h.
#include "storage/header/mvsrFileHeader1x.h"

#include "foundation/errors/mvllErrors.h"
#include "storage/cache/mvsrBlockAccess.h"
#include "storage/files/mvsrBaseFile.h"

namespace {

constexpr uint32_t kNextFreeOffset = 16;
constexpr char kFreeSignature[4] = {'D', 'E', 'A', 'D'};
constexpr char16_t kNoV1Files[] = u"Can't create new files with v1 header";

struct TFixedSection {
  const char16_t* Name;
  uint32_t Offset;
};
constexpr TFixedSection kSections[] = {{u"Encryption", 256}, {u"Stream", 512}, {u"AutoInc", 768},
                                       {u"Record", 1024},    {u"Blob", 1280},   {u"Indices", 1536}};

void checkValid1x(bool aForBuild) {
  if (aForBuild) throw Emv1xFileHeaderAccessException(MVERR_NOTSUPPORTED, String(kNoV1Files));
}

uint32_t additionalReservedSpace1x() { return 0; }

}  // namespace

constinit const TmvFileHeaderAccessFactoryClassRef Tmv1xFileHeaderAccessFactory::StaticClass{
    {u"Tmv1xFileHeaderAccessFactory", nullptr},
    &TmvCommonFileHeaderAccessFactory::CreateAs<Tmv1xFileHeaderAccessFactory>,
    &checkValid1x,
    &additionalReservedSpace1x};

TmvBaseFileHeaderAccess* Tmv1xFileHeaderAccessFactory::NewFileHeaderAccess(TmvBaseTransaction* aTrans,
                                                                           bool aMarkDirty,
                                                                           TmvBlockAccess* aBlockAccess) {
  return new Tmv1xFileHeaderAccess(aTrans, aMarkDirty, aBlockAccess);
}

void Tmv1xFileHeaderAccessFactory::WriteNewHeader(uint8_t*, const TmvBlockSignature&) { checkValid1x(true); }

// ---------------------------------------------------------------------------

void Tmv1xFileHeaderAccess::ThrowError(int32_t aCode, const String& aText) const {
  if (aText.empty()) throw Emv1xFileHeaderAccessException(aCode);
  throw Emv1xFileHeaderAccessException(aCode, aText);
}

uint8_t* Tmv1xFileHeaderAccess::GetNewBlock(TmvBaseTransaction* aTrans, int32_t, TmvReleaseMethod& aReleaseMethod) {
  RequireDirty();
  const uint32_t count = mvGetU32(Header, mvHeaderFreeCountOffset);
  if (count == 0) return AppendBlock(aTrans, aReleaseMethod);
  const TmvBlockNumber head = mvGetU32(Header, mvHeaderFirstFreeOffset);
  CheckBlockNumber(head);
  uint8_t* block = bfhaBlockAccess->GetBlock(aTrans, head, 0, true, aReleaseMethod);
  // A block handed out before carries anything but "DEAD": a chain that
  // runs in a circle is caught here instead of handing a block out twice.
  if (std::memcmp(block, kFreeSignature, 4) != 0) {
    aReleaseMethod(block);
    aReleaseMethod.Clear();
    RaiseError(MVERR_FILECORRUPT, Format(u"Block %d in file \"%s\" is in the free block chain but is not free",
                                         {head, bfhaHeaderFile->FileName()}));
  }
  mvPutU32(Header, mvHeaderFirstFreeOffset, mvGetU32(block, kNextFreeOffset));
  mvPutU32(Header, mvHeaderFreeCountOffset, count - 1);
  std::memset(block, 0, bfhaHeaderFile->BlockBytes());
  mvPutU32(block, mvBchThisBlockOffset, head);
  return block;
}

void Tmv1xFileHeaderAccess::DeleteBlock(TmvBaseTransaction*, uint8_t* aBlock) {
  RequireDirty();
  const TmvBlockNumber number = mvBchThisBlock(aBlock);
  CheckBlockNumber(number);
  std::memcpy(aBlock, kFreeSignature, 4);
  mvPutU32(aBlock, kNextFreeOffset, mvGetU32(Header, mvHeaderFirstFreeOffset));
  mvPutU32(Header, mvHeaderFirstFreeOffset, number);
  mvPutU32(Header, mvHeaderFreeCountOffset, mvGetU32(Header, mvHeaderFreeCountOffset) + 1);
}

uint32_t Tmv1xFileHeaderAccess::RegisterHeaderSection(const String& aName, uint8_t, bool aCreate, bool) {
  if (aCreate) RequireDirty();
  for (const TFixedSection& section : kSections)
    if (aName.size() == std::char_traits<char16_t>::length(section.Name) &&
        mvStrLICompW(aName.c_str(), section.Name, aName.size()) == 0)
      return section.Offset;
  RaiseError(MVERR_NOTSUPPORTED, u"Custom HeaderSections are not supported in a v1 header");
}

void mvsrFileHeader1xInit() {
  TmvBaseFileHeaderAccessFactory::Register(Tmv1xFileHeaderAccessFactory::StaticClass, mv1xHeaderSignature);
}

void mvsrFileHeader1xFini() { TmvBaseFileHeaderAccessFactory::UnRegister(Tmv1xFileHeaderAccessFactory::StaticClass); }
