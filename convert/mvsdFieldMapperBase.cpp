// Field conversion: the common mapper interface and the mapper registry. See
// mvsdFieldMapperBase.h.
#include "convert/mvsdFieldMapperBase.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <set>

#include "convert/mvsdFieldMapperCursor.h"
#include "dictionary/items/mvsdDictionaryItem.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"

namespace {

using TmvMatrix = std::array<TmvFieldMapperClasses, mvFieldTypeCount * mvFieldTypeCount>;

TmvMatrix& Matrix() {
  static TmvMatrix matrix;
  return matrix;
}

bool IsFieldType(int aType) { return aType >= 0 && aType < mvFieldTypeCount; }

TmvFieldMapperClasses& Cell(TmvFieldType aSourceType, TmvFieldType aTargetType) {
  MV_ASSERT(IsFieldType(aSourceType) && IsFieldType(aTargetType));
  return Matrix()[size_t(aSourceType) * mvFieldTypeCount + aTargetType];
}

// The field the descriptor names in the cursor's table; 10038 when none.
TmvFieldDescriptor* FieldByName(TmvAbstractCursor* aCursor, const String& aName) {
  TmvFieldsDescriptor* fields = mvCursorTableDescriptor(aCursor)->GetFieldsDescriptor();
  const int32_t number = fields->GetFieldFromName(aName);
  if (number < 0) mvRaiseCode<EmvBaseFieldMapperException>(MVERR_INVALIDFIELDNAME);
  return fields->FieldDescriptor(number);
}

struct BoundLengthOrder {
  bool operator()(const TmvClassBoundLength& a, const TmvClassBoundLength& b) const {
    return a.Class != b.Class ? std::less<>()(a.Class, b.Class) : a.Length < b.Length;
  }
};

}  // namespace

TmvMappingMethod mvClassMethod(const TmvFieldMapperClassRef& aClass, TmvMappingCode aCode, int32_t aLength) {
  // The records never move (set nodes) and are never freed: a method may
  // outlive every mapper instance.
  static std::mutex lock;
  static std::set<TmvClassBoundLength, BoundLengthOrder> records;
  std::lock_guard guard(lock);
  const TmvClassBoundLength& record = *records.insert({&aClass, aLength}).first;
  return TmvMappingMethod{aCode, &record};
}

constinit const TmvFieldMapperClassRef TmvBaseFieldMapper::StaticClass{{u"TmvBaseFieldMapper", nullptr},
                                                                        &TmvBaseFieldMapper::TryCreateMapper};

TmvBaseFieldMapper* TmvBaseFieldMapper::TryCreateMapper(const TmvFieldMapperClassRef&, TmvFieldDescriptor*,
                                                        TmvAbstractCursor*, TmvFieldDescriptor*, TmvAbstractCursor*,
                                                        TmvFieldMapperDescriptor*, TmvMappingMethod&) {
  return nullptr;
}

TmvBaseFieldMapper* TmvBaseFieldMapper::CreateMapper(TmvFieldDescriptor* aSourceField,
                                                     TmvAbstractCursor* aSourceCursor,
                                                     TmvFieldDescriptor* aTargetField,
                                                     TmvAbstractCursor* aTargetCursor,
                                                     TmvFieldMapperDescriptor* aMapperDesc,
                                                     TmvMappingMethod& aMapper) {
  aMapper.Clear();
  const TmvFieldMapperClasses& cell = mvFieldMapperClasses(aSourceField->FieldType(), aTargetField->FieldType());
  for (auto it = cell.rbegin(); it != cell.rend(); ++it) {
    const TmvFieldMapperClassRef& cls = **it;
    std::unique_ptr<TmvBaseFieldMapper> made(
        cls.TryCreateMapper(cls, aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper));
    if (aMapper.Assigned()) return made.release();
    // An instance handed back without a method would never be freed by the
    // caller, who only keeps instances that come with one.
  }
  return nullptr;
}

TmvBaseFieldMapper* TmvBaseFieldMapper::CreateMapper(TmvAbstractCursor* aSourceCursor,
                                                     TmvAbstractCursor* aTargetCursor,
                                                     TmvFieldMapperDescriptor* aMapperDesc,
                                                     TmvMappingMethod& aMapper) {
  TmvFieldDescriptor* source = FieldByName(aSourceCursor, aMapperDesc->GetSourceName());
  TmvFieldDescriptor* target = FieldByName(aTargetCursor, aMapperDesc->GetTargetName());
  return CreateMapper(source, aSourceCursor, target, aTargetCursor, aMapperDesc, aMapper);
}

void mvRegisterFieldMapper(const TmvFieldMapperClassRef& aClass, TmvFieldType aSourceType,
                           TmvFieldType aTargetType) {
  Cell(aSourceType, aTargetType).push_back(&aClass);
}

void mvUnregisterFieldMapper(const TmvFieldMapperClassRef& aClass, TmvFieldType aSourceType,
                             TmvFieldType aTargetType) {
  std::erase(Cell(aSourceType, aTargetType), &aClass);
}

void mvRegisterFieldMappers(const TmvFieldMapperClassRef& aClass, std::initializer_list<TmvFieldType> aSources,
                            std::span<const TmvFieldType> aTargets, bool aRegister) {
  for (TmvFieldType source : aSources) {
    for (TmvFieldType target : aTargets) {
      if (aRegister)
        mvRegisterFieldMapper(aClass, source, target);
      else
        mvUnregisterFieldMapper(aClass, source, target);
    }
  }
}

const TmvFieldMapperClasses& mvFieldMapperClasses(int aSourceType, int aTargetType) {
  static const TmvFieldMapperClasses none;
  if (!IsFieldType(aSourceType) || !IsFieldType(aTargetType)) return none;
  return Matrix()[size_t(aSourceType) * mvFieldTypeCount + size_t(aTargetType)];
}

void mvsdFieldMapperBaseInit() {}

void mvsdFieldMapperBaseFini() {
  for (TmvFieldMapperClasses& cell : Matrix()) TmvFieldMapperClasses().swap(cell);
}
