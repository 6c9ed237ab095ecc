// Storage: the segmented BLOB engine, registered as "mv1xDefault" (unit
// mvseBlobEngineSegmented).
//
// Each BLOB is a tree of heap segments (mvseHeapEngine.h). The BLOB number
// is the heap reference of the BLOB's first segment, which never moves to
// another slot: every change of form happens in place in it. Every segment
// begins with its type byte. The first segment:
//
// | type | form                       | size          | after the type byte                   |
// |    0 | empty BLOB                 | 13            | 12 bytes without meaning              |
// |    1 | file BLOB, 8-bit name      | >= 13         | name in the ANSI code page, zero-padded to 12 |
// |    2 | BLOB link, 8-bit name      | 9 + name      | source BLOB number (8), table name    |
// |    3 | small BLOB                 | 13            | up to 11 bytes at 1..11; byte 12 = length |
// |    4 | data                       | >= 13         | the data (length = size - 1)          |
// |    5 | segment list               | 1 + 12 × n    | n link items                          |
// |    6 | file BLOB, UTF-16 name     | >= 13         | name; under 6 characters followed by 12 - (length div 2) zero characters |
// |    7 | BLOB link, UTF-16 name     | 9 + 2 × name  | source BLOB number (8), table name    |
//
// Tables below engine version 30000 get types 1 and 2, later ones 6 and 7;
// all are read everywhere. A link item is 12 bytes: the child's heap
// reference (u64) and the BLOB offset just past the child's last byte
// (u32). A child is a data segment (type 4, at least 2 bytes, holding the
// bytes from the previous item's end to its own) or a segment list (type 5)
// whose items carry the same absolute ends. Only the first segment keeps
// the 13-byte minimum. The header section (4 bytes) holds the heap's first
// management block.
//
// Damaged segments (sizes that break the rules above, item ends out of
// order, trees too deep) raise 8962.
#pragma once

#include <vector>

#include "storage/blobs/mvseBlobEngine.h"
#include "storage/heaps/mvseHeapEngine.h"

MV_DECLARE_EXCEPTION(EmvSegmentedBlobEngineException, EmvBaseBlobEngineException)

// Keeps the heap's first management block in the engine's header section;
// data blocks carry the common block header only.
class TmvSegmentedBlobHeapHeaderHandler : public TmvHeapHeaderHandler {
 public:
  explicit TmvSegmentedBlobHeapHeaderHandler(uint16_t aHeaderSection) : bhhhHeaderSection(aHeaderSection) {}
  void BlockAdded(TmvBaseTransaction*, TmvBaseFileHeaderAccess*, uint8_t*) override {}
  void BlockRemoved(TmvBaseTransaction*, TmvBaseFileHeaderAccess*, uint8_t*) override {}
  uint32_t GetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess) override;
  void SetFirstManagementBlock(TmvBaseFileHeaderAccess* aHeaderAccess, uint32_t aBlockNumber) override;

  uint16_t bhhhHeaderSection;
};

class TmvSegmentedBlobEngine : public TmvBaseBlobEngine {
  MV_DECLARE_CLASSREF(TmvBlobEngineClassRef)
 public:
  // aDescriptor must be a heap BLOB descriptor (10004). With aTrans (a
  // table being created) the header section is created and zeroed; without,
  // it is looked up.
  TmvSegmentedBlobEngine(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                         TmvBaseTransaction* aTrans);
  static TmvBaseBlobEngine* Create(TmvBaseBlobDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles,
                                   TmvBaseTransaction* aTrans) {
    return new TmvSegmentedBlobEngine(aDescriptor, aFiles, aTrans);
  }
  // 10004 unless a heap BLOB descriptor with a heap descriptor; then the
  // heap family's check of that.
  static void CheckValidBase(TmvBaseBlobDescriptor* aDescriptor);
  ~TmvSegmentedBlobEngine() override;

  void AddBlob(TmvBaseTransaction* aTrans, TmvBlobNr& aBlobNr) override;
  void AddBlobLink(TmvBaseTransaction* aTrans, const String& aTableName, TmvBlobNr aTableBlobNr,
                   TmvBlobNr& aBlobNr) override;
  void AddFileBlob(TmvBaseTransaction* aTrans, const String& aFileName, TmvBlobNr& aBlobNr) override;
  void DeleteBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) override;
  bool FreeBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr) override;
  uint32_t GetBlobLength(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, TmvBlobLinkGetLength aLengthMethod,
                         uint32_t& aLength) override;
  bool IsFileBlob(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aFileName) override;
  bool IsBlobLink(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, String& aSrcTableName,
                  TmvBlobNr& aSrcTableBlobNr) override;
  uint32_t Read(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                TmvBlobLinkRead aReadMethod, TStream* aStream) override;
  // 10029 above the length; 10502 for a file BLOB or link cut to more than 0.
  void Truncate(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aLen) override;
  // 10502 for a file BLOB or link; 15490 past 0x7FFFFFFF bytes; 9998 for an
  // offset past the end.
  void Write(TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override;
  void Rollback(TmvBaseTransaction* aTrans) override;
  void IncBlobNr(TmvBlobNr& aBlobNr) override;

  virtual TmvHeapHeaderHandler* CreateHeaderHandler();

  uint16_t beHeaderSection = 0;
  TmvBaseHeapEngine* beHeapEngine = nullptr;

 private:
  struct Item {
    TmvHeapRef Ref;
    uint32_t End;
  };
  using Items = std::vector<Item>;
  // A segment and its held block.
  struct Held {
    TmvHeldBlock Block;
    uint8_t* Data = nullptr;
    uint16_t Size = 0;
    TmvSegmentRef Slot = 0;
  };

  void Get(Held& aSegment, TmvBaseTransaction* aTrans, TmvHeapRef aRef, bool aMarkDirty);
  void GetFirst(Held& aSegment, TmvBaseTransaction* aTrans, TmvBlobNr aBlobNr, bool aMarkDirty);
  // Finds the segment again after its block may have been rearranged.
  void Refresh(Held& aSegment);
  // Resizes a held segment in its block; false when it does not fit.
  bool Resize(Held& aSegment, uint32_t aSize);
  TmvBaseBlockHeapEngine* BlockHeap() const { return beHeapEngine->bheBlockHeapEngine; }
  uint32_t Room(Held& aSegment);

  uint32_t Length(const Held& aFirst);
  Items ParseItems(const Held& aList);
  static void PutItems(uint8_t* aAt, const Items& aItems);
  static std::vector<uint8_t> ItemBytes(const Items& aItems, size_t aFrom);
  String FileName(const Held& aFirst);
  String LinkName(const Held& aFirst, TmvBlobNr& aSource);
  [[noreturn]] void RaiseDamaged(TmvHeapRef aRef, const char16_t* aWhat);

  void ReadItems(TmvBaseTransaction* aTrans, const Items& aItems, uint32_t& aOffset, uint32_t& aLen, TStream* aStream,
                 std::vector<uint8_t>* aBuffer, int aDepth);
  void ReadSegment(TmvBaseTransaction* aTrans, const Item& aItem, uint32_t& aOffset, uint32_t& aLen,
                   TStream* aStream, std::vector<uint8_t>* aBuffer, int aDepth);

  void WriteFlat(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aOffset, uint32_t aLen, const uint8_t* aBlob,
                 uint32_t aOldLength, uint32_t aNewLength);
  void WriteList(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aOffset, uint32_t aLen, const uint8_t* aBlob);
  void WriteSegment(TmvBaseTransaction* aTrans, Item& aItem, const uint8_t*& aBlob, uint32_t& aRemaining,
                    uint32_t& aOffset, bool aMayGrow, Items& aNewItems, int aDepth);
  // New data segments for the saved bytes, then the new ones; their items
  // end cumulatively from aStart.
  Items NewDataSegments(TmvBaseTransaction* aTrans, const std::vector<uint8_t>& aSaved, const uint8_t* aBlob,
                        uint32_t aLen, uint32_t aStart);
  // Adds a tree level: the items go into new list segments.
  void PackLinkItems(TmvBaseTransaction* aTrans, Items& aItems);
  // Makes the first segment a list of aItems, packing until they fit.
  void SetFirstItems(TmvBaseTransaction* aTrans, Held& aFirst, Items& aItems);

  void TruncateList(TmvBaseTransaction* aTrans, Held& aFirst, uint32_t aLen);
  void TruncateSegment(TmvBaseTransaction* aTrans, Item& aItem, uint32_t aLen, int aDepth);
  void FreeSubtree(TmvBaseTransaction* aTrans, TmvHeapRef aRef, int aDepth);
};

// Registers the engine as "mv1xDefault" and takes it out again.
void mvseBlobEngineSegmentedInit();
void mvseBlobEngineSegmentedFini();
