// Server engine: the doubly linked lists through which an owner keeps its
// children (a session its databases, a database its statements, ...).
//
// The links live in the children (`Prev` and `Next` members named as
// template arguments); the owner keeps only the head and the tail, either
// in a `TmvOwnerList` or, where the child class is not complete yet at the
// owner's declaration, as two plain pointers reached through a
// `TmvOwnerListView`. Each child links itself in its constructor and out in
// its destructor, under the owner's padlock for that list, which the caller
// holds: the list itself takes no lock. Header only.
#pragma once

template <typename T, T* T::*Prev, T* T::*Next>
struct TmvOwnerListView {
  T*& Head;
  T*& Tail;

  // Links the item at the tail.
  void Append(T* aItem) {
    aItem->*Prev = Tail;
    aItem->*Next = nullptr;
    if (Tail)
      Tail->*Next = aItem;
    else
      Head = aItem;
    Tail = aItem;
  }

  // Unlinks the item; an item that is not linked (no neighbours and not
  // the head) is left alone.
  void Remove(T* aItem) {
    if (!(aItem->*Prev) && Head != aItem) return;
    if (aItem->*Prev)
      (aItem->*Prev)->*Next = aItem->*Next;
    else
      Head = aItem->*Next;
    if (aItem->*Next)
      (aItem->*Next)->*Prev = aItem->*Prev;
    else
      Tail = aItem->*Prev;
    aItem->*Prev = nullptr;
    aItem->*Next = nullptr;
  }

  // Calls aVisit with each item, the head first; an item may unlink itself.
  template <typename F>
  void ForEach(F&& aVisit) {
    for (T* item = Head; item;) {
      T* next = item->*Next;
      aVisit(item);
      item = next;
    }
  }
};

template <typename T, T* T::*Prev, T* T::*Next>
struct TmvOwnerList {
  T* Head = nullptr;
  T* Tail = nullptr;

  TmvOwnerListView<T, Prev, Next> View() { return {Head, Tail}; }
  bool Empty() const { return Head == nullptr; }
  void Append(T* aItem) { View().Append(aItem); }
  void Remove(T* aItem) { View().Remove(aItem); }
  template <typename F>
  void ForEach(F&& aVisit) {
    View().ForEach(aVisit);
  }
};
