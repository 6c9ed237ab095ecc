// Platform layer: class references, persistent objects and components.
//
// This is our stand-in for the part of the platform's class library that the
// engine's components rest on:
//  - `ClassRef`: a record per class (exact name, parent, and whatever the
//    class's family adds: factories and class-level functions). Exact class
//    names are data; they are written into stored streams and looked up in
//    registries, compared without case.
//  - `TPersistent`: an object that can be assigned from another (`Assign`,
//    `AssignTo`) and that knows its class reference.
//  - `TComponent`: an object with an owner that destroys it, a `Name`, a set
//    of state flags (loading, destroying, designing, updating), notification
//    of other components when it is freed, and `Loaded`.
//  - the platform's class registry (`RegisterClass`, `GetClass`, `FindClass`).
//
// Destruction: `delete` on any TPersistent runs `BeforeDestruction` on the
// whole, still intact object first (a destroying operator delete), then the
// destructors. Derived classes rely on that to run virtual work (stopping,
// notifying) before any part of the object is torn down. Objects on the stack
// skip that step; their destructors must cope alone.
//
// Nothing here calls into the engine. Not thread-safe except the class
// registry, which takes its own lock.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Class references

// The class-level identity of a class. Families extend the record by
// derivation (adding a factory and class-level functions); every record is a
// constant that lives for the whole program.
struct ClassRef {
  const char16_t* ClassName;
  const ClassRef* Parent;  // nil at a family's root above TPersistent

  // True for this class itself and every class it descends from.
  bool InheritsFrom(const ClassRef* ancestor) const;
  String Name() const { return String(ClassName); }
};

// Declares the class-reference record of a class and its virtual accessor.
// `RefType` is the family's record type; define the record in the .cpp as
//   constinit const RefType Name::StaticClass{...};
#define MV_DECLARE_CLASSREF(RefType)                                         \
 public:                                                                    \
  static const RefType StaticClass;                                         \
  const ClassRef& ClassType() const override { return StaticClass; }

MV_DECLARE_EXCEPTION(EComponentError, Exception)
MV_DECLARE_EXCEPTION(EClassNotFound, EFilerError)

inline constexpr char16_t SAssignError[] = u"%s を %s に代入できません";
inline constexpr char16_t SClassNotFound[] = u"クラス %s が見つかりません";
inline constexpr char16_t SDuplicateClass[] = u"クラス %s は既に存在します";

// Case-insensitive comparison of class and component names: ASCII letters
// fold, nothing else does (names are identifiers).
int CompareClassNames(std::u16string_view a, std::u16string_view b);
inline bool SameClassName(std::u16string_view a, std::u16string_view b) {
  return CompareClassNames(a, b) == 0;
}

// ---------------------------------------------------------------------------
// Persistent objects

class TPersistent {
 public:
  using TFreeInstance = void (*)(void* memory);

  static const ClassRef StaticClass;

  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  virtual ~TPersistent();

  virtual const ClassRef& ClassType() const { return StaticClass; }
  String ClassName() const { return ClassType().Name(); }
  bool InheritsFrom(const ClassRef& ancestor) const { return ClassType().InheritsFrom(&ancestor); }

  // Copies the source's state into this object. The default asks the source
  // (`AssignTo`); when neither side knows the other, raises EConvertError.
  virtual void Assign(const TPersistent* source);

  // Runs on the whole object right before its destructors (see above).
  virtual void BeforeDestruction() {}

  // Allocation: classes that take their instances from another allocator
  // override operator new and operator delete(void*) and `FreeInstanceFunc`.
  // Out of line, so that the compiler never pairs an inlined global
  // operator new with the destroying delete below.
  static void* operator new(size_t size);
  static void operator delete(void* p);
  static void operator delete(TPersistent* obj, std::destroying_delete_t);

 protected:
  // Writes this object's state into dest; the default raises EConvertError.
  virtual void AssignTo(TPersistent* dest) const;
  // The routine that gives this instance's memory back.
  virtual TFreeInstance FreeInstanceFunc() const;
};

// ---------------------------------------------------------------------------
// Components

class TComponent;

// Family record of components: the virtual constructor.
struct TComponentClassRef : ClassRef {
  TComponent* (*Create)(TComponent* owner);  // nil for an abstract class
};

// The factory that component class records name.
template <typename T>
TComponent* ComponentFactory(TComponent* owner) {
  return new T(owner);
}

enum TOperation : uint8_t { opInsert, opRemove };

enum TComponentStateFlag : uint8_t {
  csLoading,
  csReading,
  csWriting,
  csDestroying,
  csDesigning,
  csUpdating,
  csFreeNotification,
};
using TComponentState = uint32_t;  // bit n = flag n
constexpr TComponentState CS(TComponentStateFlag f) { return TComponentState{1} << f; }

class TComponent : public TPersistent {
  MV_DECLARE_CLASSREF(TComponentClassRef)

 public:
  // Requires: owner, when given, outlives this component or destroys it.
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* GetOwner() const { return owner_; }
  const String& GetName() const { return name_; }
  virtual void SetName(const String& newName);

  TComponentState ComponentState() const { return state_; }
  bool HasState(TComponentStateFlag f) const { return (state_ & CS(f)) != 0; }

  // Owned components: destroyed with this one.
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;
  TComponent* FindComponent(std::u16string_view name) const;
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  void DestroyComponents();

  // Asks `component` to be told (Notification with opRemove) when this one
  // is freed, and the other way round. Both directions are kept so that
  // whichever goes first unregisters from the other.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Marks the component as being destroyed; idempotent.
  void Destroying();
  void BeforeDestruction() override;

  // Loading from a form: the host marks the component as loading, sets its
  // properties and calls Loaded, which clears the mark.
  void BeginLoading() { state_ |= CS(csLoading) | CS(csReading); }
  virtual void Loaded();

  // Host framework flags: the form designer and an owner being updated.
  void SetDesigning(bool value);
  void Updating() { state_ |= CS(csUpdating); }
  void Updated() { state_ &= ~CS(csUpdating); }

 protected:
  // Another component was inserted or is going away. The default forgets a
  // removed component's free notification and passes the news to the owned
  // components.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void AddFreeNotify(TComponent* component);
  void RemoveFreeNotify(TComponent* component);

  TComponent* owner_ = nullptr;
  String name_;
  TComponentState state_ = 0;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
};

// ---------------------------------------------------------------------------
// The platform's class registry: classes that streamed forms and by-name
// lookups (`FindClassRecursive` of engine components) can find.

// Registers the class; registering the same record again does nothing, a
// different class under a name already taken raises EFilerError.
void RegisterClass(const ClassRef& cls);
void UnRegisterClass(const ClassRef& cls);
// The registered class of that name (ignoring case), or nil.
const ClassRef* GetClass(std::u16string_view name);
// As GetClass, but raises EClassNotFound when missing.
const ClassRef& FindClass(std::u16string_view name);
