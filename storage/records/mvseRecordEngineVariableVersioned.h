// Storage: the versioned variable record engine, "VariableVersioned" of the
// record family (unit mvseRecordEngineVariableVersioned).
//
// The variable record engine (mvseRecordEngineVariable.h) with one
// addition: every record carries the layout version it was written at, so
// that fields can be appended to a table without rewriting its records. A
// record of an older layout is brought to the current one whenever it is
// read, and written at the current one when it is next updated.
//
// Layout version v is the table with OriginalFieldCount + v fields (the
// field count when the table's file was built); the current version is the
// number of fields appended since. Heap, header section, references,
// stubs, walks, record numbers and recovery are those of the variable
// engine; the segment differs:
//
// | bytes | content                                                       |
// |-------|---------------------------------------------------------------|
// | 0 - 1 | flag word, little-endian: bit 0 moved body, 1 raw, 2 stub,    |
// |       | 3 padded (as the variable engine's flag byte), 4-7 zero,      |
// |       | 8-15 the record's layout version                              |
// | 2 ..  | the record data; at least 10 bytes: a compressed image of     |
// |       | n < 10 bytes is padded to 10 and the last byte holds 10 - n;  |
// |       | a raw image shorter than 10 bytes is followed by padding      |
// | stub  | 10 bytes: flag word 0x0004 (version 0), then the low and the  |
// |       | high half of the body's reference                             |
//
// Records are compressed by the "Compressor" record compression engine
// only (the dictionary check refuses any other), so a table of this engine
// opens only when a compressor is registered for its compress type.
//
// Bringing a record of layout v up to date: its null bitmap moves from
// v's offset to the current one, the bytes from the end of v's fields to
// the current bitmap are zeroed (the appended fields' data), the rest of
// the current bitmap is zeroed and the appended fields are marked null.
//
// Ownership and threads: as the variable engine's.
#pragma once

#include <vector>

#include "storage/records/mvseRecordEngineVariable.h"

// The flag word of a versioned segment: the variable engine's flag bits in
// the low byte, the layout version in the high byte.
using TmvVariableVersionedDataFlags = uint16_t;
enum TmvVariableVersionedDataFlag : TmvVariableVersionedDataFlags {
  vvdfReferenced = 0x0001,  // a moved body
  vvdfRaw = 0x0002,
  vvdfReference = 0x0004,  // a forwarding stub
  vvdfPadded = 0x0008,
};
inline constexpr int mvVariableVersionedVersionShift = 8;

// The heap header handler of the versioned engine; it keeps the same chain
// in the same header section as the variable engine's.
class TmvVariableVersionedRecordHeapHeaderHandler : public TmvVariableRecordHeapHeaderHandler {
 public:
  using TmvVariableRecordHeapHeaderHandler::TmvVariableRecordHeapHeaderHandler;
};

// Where one layout version keeps its data in a record buffer.
struct TmvVariableVersionedRecordEngineFieldInfo {
  int32_t fiFieldsLength = 0;     // the end of that version's field data
  int32_t fiNullBitsOffset = 0;   // fiFieldsLength rounded up to 4
  int32_t fiNullBitsSize = 0;     // 4 bytes per started group of 32 fields
  int32_t fiClearBytesCount = 0;  // current bitmap offset - fiFieldsLength (older versions)
};

class TmvVariableVersionedRecordEngine : public TmvBaseVariableRecordEngine {
  MV_DECLARE_CLASSREF(TmvRecordEngineClassRef)
 public:
  // aDescriptor must be a heap record descriptor (10004). The table's
  // OriginalFieldCount must lie between 0 and its field count, at most 255
  // fields below it (10004). With aTrans (a new table) the header section is
  // created and zeroed. An unregistered compress type ends the opening with
  // the "Compressor" engine's error.
  TmvVariableVersionedRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                   TmvBaseTransaction* aTrans);
  static TmvBaseRecordEngine* Create(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                     TmvBaseTransaction* aTrans);
  // 10004 unless a heap record descriptor with a heap descriptor and a
  // record compression descriptor naming "Compressor"; the heap check;
  // then the block size rule of the variable engine (15495).
  static void CheckValidDescriptor(TmvBaseTableDescriptor* aTableDescriptor);

  // True when aFieldDesc can be appended without rewriting the records: it
  // is not required and has neither a default value nor validations.
  bool CanAddField(TmvFieldDescriptor* aFieldDesc) override;
  TmvHeapHeaderHandler* CreateHeapHeaderHandler() override;

  TmvFieldsDescriptor* reFieldsDescriptor = nullptr;
  int32_t reOriginalFieldCount = 0;
  int32_t reFieldCount = 0;
  int32_t reCurrentVersion = 0;
  TmvVariableVersionedDataFlags reCurrentVersionFlags = 0;
  int32_t reCurrentFieldsLength = 0;
  int32_t reCurrentNullBitsOffset = 0;
  int32_t reCurrentNullBitsSize = 0;
  std::vector<TmvVariableVersionedRecordEngineFieldInfo> reFieldInfos;  // one per version 0 .. current

 protected:
  uint16_t NewRecordFlags() const override { return reCurrentVersionFlags; }
  uint16_t RawLengthOfVersion(uint8_t aVersion) const override;
  void BringUpToDate(uint8_t* aRecord, uint8_t aVersion) const override;

 private:
  void BuildVersions();
};

// Registers the engine as "VariableVersioned" and takes it out again.
void mvseRecordEngineVariableVersionedInit();
void mvseRecordEngineVariableVersionedFini();
