// Data dictionary: the record mapper descriptor, how one record of an old
// table layout becomes a record of a new one.
//
// It holds one field mapper descriptor per target field, kept sorted by
// target name (ignoring ASCII case, one mapping per name), and says whether
// target fields without a mapping get their default value. The mappings
// are made one by one or all at once, matching the fields of two layouts
// by name or by position.
//
// Body (value-stream encoding), after the class name that the base writes:
//   integer  1
//   list begin
//   each field mapper descriptor's stream form, in list order
//   list end
//   boolean  ApplyDefaultForUnmapped
//
// Ownership: owns its field mapper descriptors. Threading: one owner at a
// time.
#pragma once

#include <functional>

#include "dictionary/mappers/mvsdFieldMapperDescriptor.h"
#include "foundation/mvllFastStringList.h"

class TmvFieldsDescriptor;

// Walks two lists sorted by one ignoring-case comparison and calls aMatch
// with the positions of every name present in both. Names of one side only
// are passed over.
void mvWalkSameNames(const TmvFastStringListIC& aOld, const TmvFastStringListIC& aNew,
                     const std::function<void(int32_t aOld, int32_t aNew)>& aMatch);

class TmvRecordMapperDescriptor : public TmvBaseRecordMapperDescriptor {
  MV_DECLARE_CLASSREF(TmvRegisterableDescriptorClassRef)
 public:
  // No mappings; ApplyDefaultForUnmapped true.
  TmvRecordMapperDescriptor();
  ~TmvRecordMapperDescriptor() override;

  // Creates a field mapper descriptor of aDescriptorClass (nil:
  // TmvFieldMapperDescriptor) and files it under its target name; a target
  // name mapped already raises the list's duplicate error and the new
  // descriptor is freed.
  TmvFieldMapperDescriptor* AddMapping(const String& aSourceName, const String& aTargetName,
                                       TmvDataLossAction aDataLossAction,
                                       const TmvFieldMapperDescriptorClassRef* aDescriptorClass = nullptr);
  // Removes and frees the mapping of that target; an unmapped name raises
  // the list's index error.
  void DeleteMapping(const String& aTargetName);
  // Position of the mapping of that target (ignoring ASCII case), -1 when
  // none.
  int32_t FieldMapperIndexOf(const String& aTargetName) const;
  // Sets the source name of the mapping of aTargetName and returns it; an
  // unmapped name raises the list's index error.
  TmvFieldMapperDescriptor* UpdateSourceName(const String& aTargetName, const String& aNewSourceName);
  // Files the mapping of aOldTargetName under aNewTargetName when the two
  // differ ignoring case (a name mapped already raises the duplicate error
  // and changes nothing), then sets its target name, letter case included.
  // An unmapped old name raises the list's index error.
  TmvFieldMapperDescriptor* UpdateTargetName(const String& aOldTargetName, const String& aNewTargetName);

  // Maps every field name present in both (ignoring ASCII case), each side
  // with its own letter case.
  void MapAllFieldsByName(TmvFieldsDescriptor* aOldFields, TmvFieldsDescriptor* aNewFields,
                          TmvDataLossAction aDataLossAction);
  // Maps old field i to new field i for every position both have.
  void MapAllFieldsByPosition(TmvFieldsDescriptor* aOldFields, TmvFieldsDescriptor* aNewFields,
                              TmvDataLossAction aDataLossAction);

  int32_t GetFieldMapperCount() const { return rmdFieldMapperDescriptors.Count(); }
  // Requires: 0 <= aInx < FieldMapperCount.
  TmvFieldMapperDescriptor* rmdGetMapper(int32_t aInx) const {
    return static_cast<TmvFieldMapperDescriptor*>(rmdFieldMapperDescriptors.Objects(aInx));
  }
  bool GetApplyDefaultForUnmapped() const { return rmdApplyDefaultForUnmapped; }
  void SetApplyDefaultForUnmapped(bool aValue) { rmdApplyDefaultForUnmapped = aValue; }

  void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion) override;
  // Replaces the mappings with the stream's; a version other than 1
  // raises 15498.
  void LoadFromReader(TmvReader& aReader) override;

 private:
  // The position of an existing mapping; an unmapped name raises the
  // list's index error.
  int32_t MappedIndex(const String& aTargetName) const;
  // Files an owned descriptor; a refusal frees it.
  void File(TmvFieldMapperDescriptor* aMapper);
  void ClearMappings();

  TmvFastStringListIC rmdFieldMapperDescriptors{dupError};  // target name -> owned descriptor
  bool rmdApplyDefaultForUnmapped = true;
};
