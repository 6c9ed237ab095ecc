// Data dictionary: the field mapper descriptor, one field of a record
// mapping.
//
// A field mapper descriptor names a source field and a target field, says
// what a conversion does with a value that does not fit the target (the
// data-loss action) and whether the target's default value applies when
// the conversion yields none. Record mapper descriptors own one per target
// field; the field conversion builds its mapper engines from them.
//
// Stream form (value-stream encoding):
//   ident    class name (the frame, WriteToWriter)
//   string   source field name ("" : the target only gets its default)
//   string   target field name
//   string   the data-loss action's name: "dlaFail", "dlaNull", "dlaBestFit"
//   integer  1 (the body, SaveToWriter; a subclass appends to it)
//   boolean  ApplyDefault
//
// Layer: data dictionary; calls the foundation only. Threading: a
// descriptor belongs to one owner at a time.
#pragma once

#include <string_view>

#include "dictionary/mappers/mvsdRecordMapperDescriptorBase.h"

class TmvFieldMapperDescriptor;

// What a conversion does with a value that does not fit the target: fail,
// make the target null (or its default), or force the value in.
enum TmvDataLossAction : uint8_t { dlaFail, dlaNull, dlaBestFit };
// The enumeration names, by ordinal; the stream stores an action by name.
extern const std::u16string_view mvDataLossActionNames[3];

// The family record: the virtual constructor Create (aSourceName,
// aTargetName, aDataLossAction).
struct TmvFieldMapperDescriptorClassRef : TmvRegisterableDescriptorClassRef {
  TmvFieldMapperDescriptor* (*CreateMapper)(const String& aSourceName, const String& aTargetName,
                                            TmvDataLossAction aDataLossAction);
};

template <typename T>
TmvFieldMapperDescriptor* mvCreateFieldMapper(const String& aSourceName, const String& aTargetName,
                                              TmvDataLossAction aDataLossAction) {
  return new T(aSourceName, aTargetName, aDataLossAction);
}

// Owned by whoever created it (a record mapper owns its field mappers).
class TmvFieldMapperDescriptor : public TmvBaseRegisterableDescriptor {
  MV_DECLARE_CLASSREF(TmvFieldMapperDescriptorClassRef)
 public:
  // ApplyDefault is false.
  TmvFieldMapperDescriptor(const String& aSourceName, const String& aTargetName, TmvDataLossAction aDataLossAction)
      : bfcdSourceName(aSourceName), bfcdTargetName(aTargetName), bfcdDataLossAction(aDataLossAction) {}

  // The body: integer 1 and ApplyDefault; the client version is not
  // consulted.
  virtual void SaveToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // A version other than 1 raises 15498.
  virtual void LoadFromReader(TmvReader& aReader);

  // The frame (class name, names, action name), then the body.
  void WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion);
  // Reads the frame, creates a descriptor of the class it names with that
  // class's constructor and lets it read its body. An unregistered class
  // raises 15499 naming "FieldMapperDescriptor", an action name that is
  // none of the three 15498. The caller owns the result; a failure leaves
  // nothing behind.
  static TmvFieldMapperDescriptor* CreateFromReader(TmvReader& aReader);

  const String& GetSourceName() const { return bfcdSourceName; }
  void SetSourceName(const String& aValue) { bfcdSourceName = aValue; }
  const String& GetTargetName() const { return bfcdTargetName; }
  void SetTargetName(const String& aValue) { bfcdTargetName = aValue; }
  TmvDataLossAction GetDataLossAction() const { return bfcdDataLossAction; }
  void SetDataLossAction(TmvDataLossAction aValue) { bfcdDataLossAction = aValue; }
  bool GetApplyDefault() const { return bfcdApplyDefault; }
  void SetApplyDefault(bool aValue) { bfcdApplyDefault = aValue; }

  static TmvClassRegistry* Registry();

 protected:
  String bfcdSourceName;
  String bfcdTargetName;
  TmvDataLossAction bfcdDataLossAction;
  bool bfcdApplyDefault = false;
};
