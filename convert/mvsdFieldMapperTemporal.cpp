// Field conversion: the mappers of Date, Time and DateTime sources. See
// mvsdFieldMapperTemporal.h.
#include "convert/mvsdFieldMapperTemporal.h"

#include <cmath>

#include "convert/mvsdFieldMapperCommon.h"
#include "convert/mvsdFieldMapperDates.h"
#include "dictionary/items/mvsdFieldDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "platform/DateUtils.h"
#include "platform/ValueToText.h"

namespace {

constexpr TmvResult kNoFit = MVERR_INVALIDFLDXFORM;

// A Time into a Date or a DateTime, a Date into a Time, forcing: no value,
// so that the target becomes null or takes its default. (Writing nothing and
// answering success would leave the target's zeroed bytes standing as day
// 0, which is no date.)
TmvResult NoValue(const void*, const void*, void*) { return mvMapNoValue; }

TmvResult DateToDateTime(const void*, const void* aSource, void* aTarget) {
  StoreLE<double>(aTarget, static_cast<double>(int64_t(LoadLE<int32_t>(aSource)) * MSecsPerDay));
  return 0;
}

TmvResult DateTimeToDouble(const void*, const void* aSource, void* aTarget) {
  const TTimeStamp stamp = mvSplitDateTimeField(LoadLE<double>(aSource));
  StoreLE<double>(aTarget, mvDateTimeNumber(stamp.Date, stamp.Time));
  return 0;
}

// Checking: only a value at midnight, whose quotient by a day is whole.
template <bool Forcing>
TmvResult DateTimeToDate(const void*, const void* aSource, void* aTarget) {
  const double value = LoadLE<double>(aSource);
  const TTimeStamp stamp = mvSplitDateTimeField(value);
  if (!Forcing && !mvIsWhole(value / MSecsPerDay)) return kNoFit;
  StoreLE<int32_t>(aTarget, stamp.Date);
  return 0;
}

// Checking: only a value without a whole day, which no valid date is.
template <bool Forcing>
TmvResult DateTimeToTime(const void*, const void* aSource, void* aTarget) {
  const double value = LoadLE<double>(aSource);
  const TTimeStamp stamp = mvSplitDateTimeField(value);
  if (!Forcing && std::trunc(std::fabs(value / MSecsPerDay)) > 1E-16) return kNoFit;
  StoreLE<int32_t>(aTarget, stamp.Time);
  return 0;
}

bool IsTemporal(TmvFieldType aType) { return aType == mvtDate || aType == mvtTime || aType == mvtDateTime; }

// The routine between two temporal types that reads nothing of the target,
// bound to the class; nil where the pair needs an instance or has none.
TmvMappingCode TemporalRoutine(TmvFieldType aSourceType, TmvFieldType aTargetType, bool aForcing) {
  if (aSourceType == aTargetType) return aSourceType == mvtDateTime ? &mvCopyBytes<8> : &mvCopyBytes<4>;
  if (aSourceType == mvtDate && aTargetType == mvtDateTime) return &DateToDateTime;
  if (aSourceType == mvtDateTime) {
    switch (aTargetType) {
      case mvtDouble: return &DateTimeToDouble;
      case mvtDate: return aForcing ? &DateTimeToDate<true> : &DateTimeToDate<false>;
      case mvtTime: return aForcing ? &DateTimeToTime<true> : &DateTimeToTime<false>;
      default: break;
    }
  }
  return nullptr;
}

void RegisterAll(bool aRegister) {
  static constexpr TmvFieldType kTargets[] = {mvtDate,      mvtTime,        mvtDateTime,  mvtByteArray,
                                              mvtShortString, mvtNullString, mvtWideString};
  static constexpr TmvFieldType kDouble[] = {mvtDouble};
  mvRegisterFieldMappers(TmvDateMapper::StaticClass, {mvtDate}, kTargets, aRegister);
  mvRegisterFieldMappers(TmvTimeMapper::StaticClass, {mvtTime}, kTargets, aRegister);
  mvRegisterFieldMappers(TmvDateTimeMapper::StaticClass, {mvtDateTime}, kTargets, aRegister);
  mvRegisterFieldMappers(TmvDateTimeMapper::StaticClass, {mvtDateTime}, kDouble, aRegister);
}

}  // namespace

template <typename Self>
TmvBaseFieldMapper* TmvTemporalMapperOf<Self>::TryCreateMapper(const TmvFieldMapperClassRef& aClass,
                                                               TmvFieldDescriptor* aSourceField, TmvAbstractCursor*,
                                                               TmvFieldDescriptor* aTargetField, TmvAbstractCursor*,
                                                               TmvFieldMapperDescriptor* aMapperDesc,
                                                               TmvMappingMethod& aMapper) {
  constexpr TmvFieldType source = Self::kSourceType;
  if (aSourceField->FieldType() != source) return nullptr;
  const TmvFieldType targetType = aTargetField->FieldType();
  const bool forcing = mvForcing(aMapperDesc);
  if (mvIsTextFieldType(targetType))
    return mvTextCapacity(targetType, aTargetField->Length()) >= 0
               ? new Self(aSourceField, aTargetField, aMapperDesc, aMapper)
               : nullptr;
  if (targetType == mvtByteArray) {
    if (aTargetField->Units() >= 8)
      aMapper = mvClassMethod(aClass, source == mvtDateTime ? &mvCopyBytes<8> : &mvCopyBytes<4>);
    return nullptr;
  }
  if (TmvMappingCode code = TemporalRoutine(source, targetType, forcing)) {
    aMapper = mvClassMethod(aClass, code);
    return nullptr;
  }
  // A Time into a Date or DateTime, a Date into a Time: no value when
  // forcing, no conversion when checking.
  if (IsTemporal(targetType) && source != mvtDateTime && forcing)
    return new Self(aSourceField, aTargetField, aMapperDesc, aMapper);
  return nullptr;
}

template <typename Self>
void TmvTemporalMapperOf<Self>::ChooseRoutine(TmvFieldType aTargetType, TmvFieldMapperDescriptor* aMapperDesc,
                                              TmvMappingMethod& aMapper) const {
  using M = TmvTemporalMapperOf<Self>;
  if (IsTemporal(aTargetType)) {
    aMapper = mvClassMethod(Self::StaticClass, &NoValue);
    return;
  }
  const bool truncating =
      mvTruncatingFor(aTargetType, Fields().TargetLength(), mvForcing(aMapperDesc), Fields().SampleText());
  auto pick = [&]<TmvFieldType T>() {
    return truncating ? mvInstanceMethod<&M::template ToTextTruncating<T>>(this)
                      : mvInstanceMethod<&M::template ToTextChecking<T>>(this);
  };
  switch (aTargetType) {
    case mvtShortString: aMapper = pick.template operator()<mvtShortString>(); break;
    case mvtNullString: aMapper = pick.template operator()<mvtNullString>(); break;
    case mvtWideString: aMapper = pick.template operator()<mvtWideString>(); break;
    default: break;
  }
}

template <typename Self>
template <TmvFieldType T>
TmvResult TmvTemporalMapperOf<Self>::ToTextTruncating(const void* aSource, void* aTarget) const {
  mvWriteText(T, Fields().TargetLength(), Fields().Text(aSource), aTarget, Self::StaticClass, u"ToTextTruncating");
  return 0;
}

template <typename Self>
template <TmvFieldType T>
TmvResult TmvTemporalMapperOf<Self>::ToTextChecking(const void* aSource, void* aTarget) const {
  return mvWriteTextChecked(T, Fields().TargetLength(), Fields().Text(aSource), aTarget, Self::StaticClass,
                            u"ToTextChecking");
}

// ---------------------------------------------------------------------------
// The three classes

constinit const TmvFieldMapperClassRef TmvTimeMapper::StaticClass{
    {u"TmvTimeMapper", &TmvBaseFieldMapper::StaticClass}, &TmvTimeMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvDateMapper::StaticClass{
    {u"TmvDateMapper", &TmvBaseFieldMapper::StaticClass}, &TmvDateMapper::TryCreateMapper};
constinit const TmvFieldMapperClassRef TmvDateTimeMapper::StaticClass{
    {u"TmvDateTimeMapper", &TmvBaseFieldMapper::StaticClass}, &TmvDateTimeMapper::TryCreateMapper};

TmvTimeMapper::TmvTimeMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : tmTargetLength(aTargetField->Length()), tmFormatSettings(mvFieldFormatSettings(aTargetField)) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

String TmvTimeMapper::Text(const void* aSource) const {
  return TimeToStr(mvDateTimeNumber(DateDelta, LoadLE<int32_t>(aSource)), tmFormatSettings);
}

String TmvTimeMapper::SampleText() const { return TimeToStr(Time(), tmFormatSettings); }

TmvDateMapper::TmvDateMapper(TmvFieldDescriptor*, TmvFieldDescriptor* aTargetField,
                             TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : dmTargetLength(aTargetField->Length()), dmFormatSettings(mvFieldFormatSettings(aTargetField)) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

String TmvDateMapper::Text(const void* aSource) const {
  return DateToStr(mvDateTimeNumber(LoadLE<int32_t>(aSource), 0), dmFormatSettings);
}

String TmvDateMapper::SampleText() const { return DateToStr(Date(), dmFormatSettings); }

TmvDateTimeMapper::TmvDateTimeMapper(TmvFieldDescriptor* aSourceField, TmvFieldDescriptor* aTargetField,
                                     TmvFieldMapperDescriptor* aMapperDesc, TmvMappingMethod& aMapper)
    : dtmSourceType(aSourceField->FieldType()),
      dtmTargetLength(aTargetField->Length()),
      dtmFormatSettings(mvFieldFormatSettings(aTargetField)) {
  ChooseRoutine(aTargetField->FieldType(), aMapperDesc, aMapper);
}

String TmvDateTimeMapper::Text(const void* aSource) const {
  const TTimeStamp stamp = mvSplitDateTimeField(LoadLE<double>(aSource));
  return DateTimeToStr(mvDateTimeNumber(stamp.Date, stamp.Time), dtmFormatSettings);
}

String TmvDateTimeMapper::SampleText() const { return DateTimeToStr(Now(), dtmFormatSettings); }

void mvsdFieldMapperTemporalInit() { RegisterAll(true); }

void mvsdFieldMapperTemporalFini() { RegisterAll(false); }
