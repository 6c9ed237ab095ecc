// Data dictionary: what the dictionary's run-time engines ask of the cursor
// they are made for.
//
// Default-value engines and handlers are made for one cursor of the server
// engine (or a dataset's cursor on the client side) and keep it. The cursor
// class lives in the server engine, a layer above; it implements this
// interface, and the engines reach it only through it.
//
// Ownership: the cursor owns itself; an engine holding this interface keeps
// a plain pointer, and the cursor must outlive every engine and handler made
// for it. The operations are called by the thread that works with the
// cursor.
#pragma once

#include "foundation/mvsdTypes.h"

class ImvDictionaryCursor {
 public:
  // The user name of the session the cursor belongs to.
  virtual String GetSessionUserName() = 0;
  // The next log sequence number for a next-LSN default; false when the
  // cursor gives none.
  virtual bool GetNextLSN(TmvLSN& aLSN) = 0;

 protected:
  ~ImvDictionaryCursor() = default;
};
