// Storage: intrusive doubly linked chains (unit mvsrBufferManager).
//
// The block cache and the transactions keep their objects on many chains
// whose links live inside the objects (a file's blocks, a transaction's
// blocks and files, a level's copies, a block's snapshot images and links).
// `TmvChain` names one such chain by the link fields it uses and appends to
// or removes from it, given the chain's two ends. Not thread-safe: the chains
// are changed under the cache's padlock.
#pragma once

template <typename T, T* T::*Prev, T* T::*Next>
struct TmvChain {
  static void Append(T*& aHead, T*& aTail, T* aItem) {
    aItem->*Prev = aTail;
    aItem->*Next = nullptr;
    if (aTail) aTail->*Next = aItem;
    else aHead = aItem;
    aTail = aItem;
  }
  // Also safe for an item that is not on the chain (its links are nil and
  // it is neither end): nothing changes.
  static void Remove(T*& aHead, T*& aTail, T* aItem) {
    T* prev = aItem->*Prev;
    T* next = aItem->*Next;
    if (prev) prev->*Next = next;
    else if (aHead == aItem) aHead = next;
    if (next) next->*Prev = prev;
    else if (aTail == aItem) aTail = prev;
    aItem->*Prev = nullptr;
    aItem->*Next = nullptr;
  }
};
