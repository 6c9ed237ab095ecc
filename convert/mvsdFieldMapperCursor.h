// Field conversion: the calls it makes on the server engine's cursors.
//
// Field conversion sits above the server engine, but only a handful of its
// routines reach a cursor: the by-name CreateMapper and the field mapper
// engines read the cursor's table descriptor, the field mapper engine makes
// default-value engines for the target cursor, the AutoInc engine reads
// and sets the table's auto-increment counter, the BLOB mappers read,
// create, write, copy and delete BLOBs, and the record mapper engine names
// the source table in its error texts. They all go through the
// functions below, so that one place binds them to the server's cursor
// classes: this unit's start-up installs the calls on the server's table
// cursors (tests may install their own cursor's). Without calls, each
// function fails the assertion that names it.
//
// The other way round, the server engine's referential-integrity engine
// finds the conversion between a source and a target field through a hook;
// this unit's start-up installs CreateMapper into it and its shutdown takes
// it out again.
//
// Layer: field conversion; calls the data dictionary (the table descriptor
// type), the server engine's referential-integrity hook and the platform. Installing is start-up work; the calls
// themselves may be made from any thread that owns the cursor.
#pragma once

#include <cstdint>

#include "foundation/types/mvsdTypes.h"
#include "platform/System.h"

class TmvAbstractCursor;    // the server engine's cursor
class TmvServerBaseCursor;  // the server engine's table cursor
class TmvBaseTableDescriptor;
class ImvDictionaryCursor;
class TStream;

struct TmvMapperCursorCalls {
  // The descriptor of the cursor's table (its `TableDescriptor`).
  TmvBaseTableDescriptor* (*TableDescriptor)(TmvAbstractCursor* aCursor) = nullptr;
  // What the dictionary's default-value engines ask of the cursor.
  ImvDictionaryCursor* (*DictionaryCursor)(TmvAbstractCursor* aCursor) = nullptr;
  // The cursor as a server table cursor, nil when it is none.
  TmvServerBaseCursor* (*AsServerCursor)(TmvAbstractCursor* aCursor) = nullptr;
  // The table's current auto-increment value (`sbcAutoIncGet`).
  uint32_t (*AutoIncGet)(TmvServerBaseCursor* aCursor) = nullptr;
  // Sets the table's auto-increment counter (`sbcAutoIncSetDirect`).
  void (*AutoIncSetDirect)(TmvServerBaseCursor* aCursor, uint32_t aValue) = nullptr;
  // The table's full name (`FullName`).
  String (*FullName)(TmvAbstractCursor* aCursor) = nullptr;

  // BLOBs of the cursor's table, all with the empty record identity; each
  // answers 0 or an engine error code. `sbcBlobGetLength`:
  uint32_t (*BlobGetLength)(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr,
                            uint32_t& aLength) = nullptr;
  // `sbcBlobRead`: aLen bytes from aOffset appended to aStream.
  uint32_t (*BlobRead)(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                       uint32_t aLen, TStream* aStream) = nullptr;
  // `sbcBlobCreate`: a new empty BLOB.
  uint32_t (*BlobCreate)(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr& aBlobNr) = nullptr;
  // `sbcBlobWrite`.
  uint32_t (*BlobWrite)(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                        uint32_t aLen, const void* aData) = nullptr;
  // `sbcBlobDelete`.
  uint32_t (*BlobDelete)(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr) = nullptr;
  // `sbcBlobCopyPrim` on aCursor: a BLOB of aSrcCursor's table copied, at
  // most aMaxLength bytes of it, into a new BLOB of aCursor's table.
  uint32_t (*BlobCopyPrim)(TmvServerBaseCursor* aCursor, TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo,
                           TmvBlobNr aBlobNr, int32_t aDestFieldNo, TmvBlobNr& aDestBlobNr,
                           uint32_t aMaxLength) = nullptr;
};

// Installs the calls (empty calls uninstall them).
void mvSetMapperCursorCalls(const TmvMapperCursorCalls& aCalls);
// The calls on the server's own cursors, which this unit's start-up
// installs when none are installed yet.
const TmvMapperCursorCalls& mvServerMapperCursorCalls();

// Requires: aCursor is not nil.
TmvBaseTableDescriptor* mvCursorTableDescriptor(TmvAbstractCursor* aCursor);
ImvDictionaryCursor* mvCursorDictionaryCursor(TmvAbstractCursor* aCursor);
TmvServerBaseCursor* mvCursorAsServerCursor(TmvAbstractCursor* aCursor);
uint32_t mvCursorAutoIncGet(TmvServerBaseCursor* aCursor);
void mvCursorAutoIncSetDirect(TmvServerBaseCursor* aCursor, uint32_t aValue);
String mvCursorFullName(TmvAbstractCursor* aCursor);
uint32_t mvCursorBlobGetLength(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t& aLength);
uint32_t mvCursorBlobRead(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                          uint32_t aLen, TStream* aStream);
uint32_t mvCursorBlobCreate(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr& aBlobNr);
uint32_t mvCursorBlobWrite(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr, uint32_t aOffset,
                           uint32_t aLen, const void* aData);
uint32_t mvCursorBlobDelete(TmvServerBaseCursor* aCursor, int32_t aFieldNo, TmvBlobNr aBlobNr);
uint32_t mvCursorBlobCopyPrim(TmvServerBaseCursor* aCursor, TmvServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo,
                              TmvBlobNr aBlobNr, int32_t aDestFieldNo, TmvBlobNr& aDestBlobNr, uint32_t aMaxLength);

// Unit start and stop: install and uninstall the referential-integrity
// engine's conversion hook and the server cursor calls.
void mvsdFieldMapperCursorInit();
void mvsdFieldMapperCursorFini();
