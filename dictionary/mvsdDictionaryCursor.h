// Data dictionary: what the dictionary's run-time engines ask of the cursor
// they are made for.
//
// Default-value and validation engines and their handlers are made for one
// cursor of the server engine (or a dataset's cursor on the client side)
// and keep it. The cursor
// class lives in the server engine, a layer above; it implements this
// interface, and the engines reach it only through it.
//
// Ownership: the cursor owns itself; an engine holding this interface keeps
// a plain pointer, and the cursor must outlive every engine and handler made
// for it. The operations are called by the thread that works with the
// cursor.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/types/mvsdTypes.h"

class ImvDictionaryCursor {
 public:
  // The user name of the session the cursor belongs to.
  virtual String GetSessionUserName() = 0;
  // The next log sequence number for a next-LSN default; false when the
  // cursor gives none.
  virtual bool GetNextLSN(TmvLSN& aLSN) = 0;
  // The whole content of BLOB aBlobNr of field aFieldNo of the cursor's
  // table, for a CHECK condition that reads a BLOB field. Answers 0, or an
  // error code (its text recorded as the thread's last converted
  // exception) with aContent unspecified.
  virtual uint32_t ReadBlob(int32_t aFieldNo, TmvBlobNr aBlobNr, std::vector<uint8_t>& aContent) = 0;

 protected:
  ~ImvDictionaryCursor() = default;
};
