// Storage: the versioned variable record engine. See
// mvseRecordEngineVariableVersioned.h.
#include "storage/records/mvseRecordEngineVariableVersioned.h"

#include <cstring>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"

namespace {

// A flag word, and 10 data bytes so that a 10-byte stub fits any segment.
constexpr TmvVariableSegmentFormat kFormat{2, 10};
// The version lives in the flag word's high byte.
constexpr int32_t kMaxVersion = 255;

}  // namespace

constinit const TmvRecordEngineClassRef TmvVariableVersionedRecordEngine::StaticClass{
    {{u"TmvVariableVersionedRecordEngine", &TmvBaseRecordEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    &TmvVariableVersionedRecordEngine::Create,
    &TmvVariableVersionedRecordEngine::CheckValidDescriptor};

void mvseRecordEngineVariableVersionedInit() {
  TmvBaseSubEngine::Register(TmvVariableVersionedRecordEngine::StaticClass, u"VariableVersioned");
}

void mvseRecordEngineVariableVersionedFini() {
  TmvBaseSubEngine::Unregister(TmvVariableVersionedRecordEngine::StaticClass);
}

TmvVariableVersionedRecordEngine::TmvVariableVersionedRecordEngine(TmvBaseRecordDescriptor* aDescriptor,
                                                                   const TmvBlockAccessArray& aFiles,
                                                                   TmvBaseTransaction* aTrans)
    : TmvBaseVariableRecordEngine(aDescriptor, aFiles, kFormat) {
  BuildVersions();
  OpenStorage(aDescriptor, aTrans);
}

TmvBaseRecordEngine* TmvVariableVersionedRecordEngine::Create(TmvBaseRecordDescriptor* aDescriptor,
                                                              const TmvBlockAccessArray& aFiles,
                                                              TmvBaseTransaction* aTrans) {
  return new TmvVariableVersionedRecordEngine(aDescriptor, aFiles, aTrans);
}

void TmvVariableVersionedRecordEngine::CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseRecordEngine::CheckValidDescriptor(aTableDescriptor);
  auto refuse = [](const char16_t* aText) { throw EmvVariableRecordEngineException(MVERR_INVALIDDESC, String(aText)); };
  auto* record = dynamic_cast<TmvHeapRecordDescriptor*>(aTableDescriptor->GetRecordDescriptor());
  if (!record) refuse(u"Record descriptor must be a TmvHeapRecordDescriptor");
  if (!record->GetHeapDescriptor()) refuse(u"A HeapDescriptor is required");
  TmvBaseHeapEngine::CheckValidBaseFromDescriptor(record->GetHeapDescriptor());
  TmvBaseRecordCompressionDescriptor* compression = record->GetRecordCompressionDescriptor();
  if (!compression) refuse(u"A RecordCompressionDescriptor is required");
  if (!SameClassName(compression->GetRecordCompressionEngine(), u"Compressor"))
    refuse(u"Only \"Compressor\" RecordCompressionEngine is supported");
  FitBlockSize(aTableDescriptor, record, kFormat);
}

void TmvVariableVersionedRecordEngine::BuildVersions() {
  reFieldsDescriptor = breFieldsDescriptor;
  reFieldCount = reFieldsDescriptor->FieldCount();
  reOriginalFieldCount = reFieldsDescriptor->GetOriginalFieldCount();
  reCurrentVersion = reFieldCount - reOriginalFieldCount;
  // A count outside the table would index versions that do not exist.
  if (reOriginalFieldCount < 0 || reCurrentVersion < 0 || reCurrentVersion > kMaxVersion)
    throw EmvVariableRecordEngineException(MVERR_INVALIDDESC,
                                           u"OriginalFieldCount %d does not fit a table of %d fields",
                                           {reOriginalFieldCount, reFieldCount});
  reFieldInfos.assign(size_t(reCurrentVersion) + 1, {});
  int32_t length = 0;
  for (int32_t count = 0; count <= reFieldCount; ++count) {
    if (count >= reOriginalFieldCount) {
      TmvVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[size_t(count - reOriginalFieldCount)];
      info.fiFieldsLength = length;
      info.fiNullBitsOffset = int32_t(mvNullBitmapOffset(length));
      info.fiNullBitsSize = mvNullBitmapSize(count);
    }
    if (count < reFieldCount) length += reFieldsDescriptor->FieldDescriptor(count)->Length();
  }
  const TmvVariableVersionedRecordEngineFieldInfo& current = reFieldInfos.back();
  reCurrentFieldsLength = current.fiFieldsLength;
  reCurrentNullBitsOffset = current.fiNullBitsOffset;
  reCurrentNullBitsSize = current.fiNullBitsSize;
  for (int32_t v = 0; v < reCurrentVersion; ++v)
    reFieldInfos[size_t(v)].fiClearBytesCount = reCurrentNullBitsOffset - reFieldInfos[size_t(v)].fiFieldsLength;
  reCurrentVersionFlags = TmvVariableVersionedDataFlags(reCurrentVersion << mvVariableVersionedVersionShift);
}

uint16_t TmvVariableVersionedRecordEngine::RawLengthOfVersion(uint8_t aVersion) const {
  if (aVersion >= reCurrentVersion) return breRecordLength;
  const TmvVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[aVersion];
  return uint16_t(info.fiNullBitsOffset + info.fiNullBitsSize);
}

void TmvVariableVersionedRecordEngine::BringUpToDate(uint8_t* aRecord, uint8_t aVersion) const {
  if (aVersion >= reCurrentVersion) return;
  const TmvVariableVersionedRecordEngineFieldInfo& info = reFieldInfos[aVersion];
  std::memmove(aRecord + reCurrentNullBitsOffset, aRecord + info.fiNullBitsOffset, size_t(info.fiNullBitsSize));
  std::memset(aRecord + info.fiFieldsLength, 0, size_t(info.fiClearBytesCount));
  // What lies behind the old bitmap is whatever the buffer held before.
  std::memset(aRecord + reCurrentNullBitsOffset + info.fiNullBitsSize, 0,
              size_t(reCurrentNullBitsSize - info.fiNullBitsSize));
  for (int32_t field = reOriginalFieldCount + aVersion; field < reFieldCount; ++field)
    mvSetBit(aRecord + reCurrentNullBitsOffset, uint32_t(field));
}

bool TmvVariableVersionedRecordEngine::CanAddField(TmvFieldDescriptor* aFieldDesc) {
  return aFieldDesc && !aFieldDesc->GetRequired() && !aFieldDesc->GetDefaultValue() && !aFieldDesc->GetValidations();
}

TmvHeapHeaderHandler* TmvVariableVersionedRecordEngine::CreateHeapHeaderHandler() {
  return new TmvVariableVersionedRecordHeapHeaderHandler(reHeaderSection);
}
