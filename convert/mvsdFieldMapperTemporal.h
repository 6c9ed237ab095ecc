// Field conversion: the mappers of Date, Time and DateTime sources.
//
// `TmvDateMapper`, `TmvTimeMapper` and `TmvDateTimeMapper` convert between
// the three temporal types, into raw bytes and into text; a DateTime also
// into a Double holding its date-time number. A Time has no date and a Date
// no time: between them, and from a Time into a DateTime, the forcing
// variant gives no value (the target becomes null or takes its default)
// and the checking variant no conversion at all.
//
// Texts are the platform's date and time texts in the format settings of
// the target's locale: a date in the short date format, a time in the long
// time format, a date and time as both with a blank between (the time left
// out at midnight). Whether a string target needs the checking routine is
// decided once, when the mapper is made, by the length of the text of the
// moment the clock shows then; so the routine depends on the time of day at
// construction, never on a value converted later.
//
// Layer: field conversion; calls the mapper base, the date forms and common
// routines, the data dictionary's field descriptors and the platform's date
// texts and clock. Routines and instances hold no mutable state.
#pragma once

#include "convert/mvsdFieldMapperBase.h"
#include "platform/SysUtils.h"

// What the three classes share: Self keeps the target's length and format
// settings, names its source type (kSourceType) and makes the text of a
// value (Text) and of the clock's moment (SampleText).
template <typename Self>
class TmvTemporalMapperOf : public TmvBaseFieldMapper {
 public:
  MV_FIELD_MAPPER_TRY_CREATE

  template <TmvFieldType T>
  TmvResult ToTextTruncating(const void* aSource, void* aTarget) const;
  template <TmvFieldType T>
  TmvResult ToTextChecking(const void* aSource, void* aTarget) const;

 protected:
  // The constructor's choice: the no-value routine for a temporal target,
  // the truncating or checking routine for a string target.
  void ChooseRoutine(TmvFieldType aTargetType, TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper) const;

 private:
  const Self& Fields() const { return static_cast<const Self&>(*this); }
};

#define MV_TEMPORAL_MAPPER_BODY(Name, Source)                                                                  \
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)                                                                 \
 public:                                                                                                      \
  Name(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField, TmvFieldMapperDescriptor* aMapperDesc, \
       TmvMappingMethod& aMapper);                                                                            \
  static constexpr TmvFieldType kSourceType = Source;                                                         \
  String Text(const void* aSource) const;                                                                     \
  String SampleText() const;

class TmvTimeMapper : public TmvTemporalMapperOf<TmvTimeMapper> {
  MV_TEMPORAL_MAPPER_BODY(TmvTimeMapper, mvtTime)
  int32_t TargetLength() const { return tmTargetLength; }

 private:
  int32_t tmTargetLength;
  TFormatSettings tmFormatSettings;
};

class TmvDateMapper : public TmvTemporalMapperOf<TmvDateMapper> {
  MV_TEMPORAL_MAPPER_BODY(TmvDateMapper, mvtDate)
  int32_t TargetLength() const { return dmTargetLength; }

 private:
  int32_t dmTargetLength;
  TFormatSettings dmFormatSettings;
};

class TmvDateTimeMapper : public TmvTemporalMapperOf<TmvDateTimeMapper> {
  MV_TEMPORAL_MAPPER_BODY(TmvDateTimeMapper, mvtDateTime)
  int32_t TargetLength() const { return dtmTargetLength; }
  TmvFieldType SourceType() const { return dtmSourceType; }

 private:
  TmvFieldType dtmSourceType;
  int32_t dtmTargetLength;
  TFormatSettings dtmFormatSettings;
};

#undef MV_TEMPORAL_MAPPER_BODY

// Unit start-up and shutdown: register and remove the three classes in
// their cells.
void mvsdFieldMapperTemporalInit();
void mvsdFieldMapperTemporalFini();
