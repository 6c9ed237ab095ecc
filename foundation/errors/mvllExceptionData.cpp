// Foundation: the exception data tree, its "EDV" encoding with Base64, and
// the conversion of any exception into an error code and a message text.
// See mvllExceptionData.h.
#include "foundation/errors/mvllExceptionData.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllStreams.h"
#include "foundation/types/mvsdPeerVersion.h"
#include "platform/Classes.h"
#include "platform/Components.h"

namespace {

inline constexpr TGUID IID_ImvExceptionDataValue{0x3F1E9B20, 0x4C7A, 0x4E55, {0x8B, 0x0D, 0x61, 0x2A, 0x9C, 0x13, 0x7E, 0x01}};
inline constexpr TGUID IID_ImvExceptionDataContainer{0x3F1E9B20, 0x4C7A, 0x4E55, {0x8B, 0x0D, 0x61, 0x2A, 0x9C, 0x13, 0x7E, 0x02}};

// A damaged stream must not nest containers deep enough to exhaust the stack.
constexpr int kMaxDecodeDepth = 256;

const char16_t kCrLf[] = u"\r\n";

class TmvExceptionDataContainer;
void AppendDisplay(ImvExceptionDataValue* v, int indent, String& out);

// What every value shares: its name, its container (weak), its count.
// `Interface` is ImvExceptionDataValue or ImvExceptionDataContainer.
template <typename Interface>
class ValueBase : public TmvInterfacedObject, public Interface {
 public:
  explicit ValueBase(const String& name) : beName(name) {}

  // One count for the object, whichever interface is asked.
  int32_t QueryInterface(const TGUID& iid, void** obj) override { return TmvInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TmvInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TmvInterfacedObject::_Release(); }

  String GetName() override { return beName; }
  String AsString() override { return AsVariant().AsString(); }
  int64_t AsInteger() override { return AsVariant().AsInt64(); }
  bool AsBoolean() override { return AsVariant().AsBoolean(); }
  double AsFloat() override { return AsVariant().AsDouble(); }
  Variant AsVariant() override {
    throw EmvBaseException(12289, String(u"AsVariant not supported by TmvExceptionDataBaseValue"));
  }
  ImvExceptionDataContainer* AsContainer() override {
    throw EmvBaseException(12289, String(u"AsContainer not supported for TmvExceptionDataBaseValue"));
  }
  String ToEncodedString(int32_t peerVersion) override;
  String ToString() override {
    String out;
    AppendDisplay(this, 0, out);
    return out;
  }

  TmvExceptionDataContainer* beParent = nullptr;

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override {
    if (iid == IID_ImvExceptionDataValue) {
      *obj = static_cast<ImvExceptionDataValue*>(this);
      _AddRef();
      return true;
    }
    return TmvInterfacedObject::GetInterface(iid, obj);
  }

  String beName;
};

using TmvExceptionDataBaseValue = ValueBase<ImvExceptionDataValue>;

class TmvExceptionDataStringValue : public TmvExceptionDataBaseValue {
 public:
  TmvExceptionDataStringValue(const String& name, const String& v) : TmvExceptionDataBaseValue(name), svValue(v) {}
  TmvExceptionDataValueType GetValueType() override { return edvtString; }
  String AsString() override { return svValue; }
  Variant AsVariant() override { return Variant(svValue); }

 private:
  String svValue;
};

class TmvExceptionDataIntegerValue : public TmvExceptionDataBaseValue {
 public:
  TmvExceptionDataIntegerValue(const String& name, int64_t v) : TmvExceptionDataBaseValue(name), ivValue(v) {}
  TmvExceptionDataValueType GetValueType() override { return edvtInteger; }
  int64_t AsInteger() override { return ivValue; }
  Variant AsVariant() override { return Variant(static_cast<long long>(ivValue)); }

 private:
  int64_t ivValue;
};

class TmvExceptionDataBooleanValue : public TmvExceptionDataBaseValue {
 public:
  TmvExceptionDataBooleanValue(const String& name, bool v) : TmvExceptionDataBaseValue(name), bvValue(v) {}
  TmvExceptionDataValueType GetValueType() override { return edvtBoolean; }
  bool AsBoolean() override { return bvValue; }
  Variant AsVariant() override { return Variant(bvValue); }

 private:
  bool bvValue;
};

class TmvExceptionDataFloatValue : public TmvExceptionDataBaseValue {
 public:
  TmvExceptionDataFloatValue(const String& name, double v) : TmvExceptionDataBaseValue(name), fvValue(v) {}
  TmvExceptionDataValueType GetValueType() override { return edvtFloat; }
  double AsFloat() override { return fvValue; }
  Variant AsVariant() override { return Variant(fvValue); }

 private:
  double fvValue;
};

class TmvExceptionDataVariantValue : public TmvExceptionDataBaseValue {
 public:
  TmvExceptionDataVariantValue(const String& name, const Variant& v) : TmvExceptionDataBaseValue(name), vvValue(v) {}
  TmvExceptionDataValueType GetValueType() override { return edvtVariant; }
  Variant AsVariant() override { return vvValue; }

 private:
  Variant vvValue;
};

class TmvExceptionDataContainer : public ValueBase<ImvExceptionDataContainer> {
 public:
  TmvExceptionDataContainer(const String& name, const void* forObject, std::vector<const void*> excluded)
      : ValueBase(name), dcForObject(forObject), dcExcludedObjects(std::move(excluded)) {}
  ~TmvExceptionDataContainer() override {
    // Children that outlive us must not reach back.
    for (auto& v : dcValues) SetParent(v.get(), nullptr);
  }

  TmvExceptionDataValueType GetValueType() override { return edvtContainer; }
  ImvExceptionDataContainer* AsContainer() override { return this; }

  void AddString(const String& name, const String& text) override {
    Append(TmvInterfacedObject::Create<TmvExceptionDataStringValue>(name, text));
  }
  void AddInteger(const String& name, int64_t value) override { Append(TmvInterfacedObject::Create<TmvExceptionDataIntegerValue>(name, value)); }
  void AddBoolean(const String& name, bool value) override { Append(TmvInterfacedObject::Create<TmvExceptionDataBooleanValue>(name, value)); }
  void AddFloat(const String& name, double value) override { Append(TmvInterfacedObject::Create<TmvExceptionDataFloatValue>(name, value)); }
  void AddVariant(const String& name, const Variant& value) override {
    Append(TmvInterfacedObject::Create<TmvExceptionDataVariantValue>(name, value));
  }
  void AddUnsigned(const String& name, uint32_t value) override { AddInteger(name, value); }
  ImvExceptionDataContainer* AddContainer(const String& name) override {
    auto* c = TmvInterfacedObject::Create<TmvExceptionDataContainer>(name, nullptr, std::vector<const void*>{});
    Append(c);
    return c;
  }
  void AddObject(const String& name, TPersistent* object, bool flag) override;
  void AddObject(const String& name, TStrings* list, bool flag) override;

  int32_t Count() override { return static_cast<int32_t>(dcValues.size()); }
  ImvExceptionDataValue* GetValue(int32_t index) override {
    if (index < 0 || index >= Count()) throw EListError(u"リストのインデックスが範囲を超えています (%d)", {index});
    return dcValues[static_cast<size_t>(index)].get();
  }
  const void* GetForObject() override { return dcForObject; }
  void SetForObject(const void* object) override { dcForObject = object; }

  // Appends a fresh value (count 0) and takes the container's reference.
  template <typename T>
  void Append(T* value) {
    value->beParent = this;
    dcValues.emplace_back(static_cast<ImvExceptionDataValue*>(value));
  }

 protected:
  bool GetInterface(const TGUID& iid, void** obj) override {
    if (iid == IID_ImvExceptionDataContainer) {
      *obj = static_cast<ImvExceptionDataContainer*>(this);
      _AddRef();
      return true;
    }
    return ValueBase::GetInterface(iid, obj);
  }

 private:
  // Answers the marker text when the object is already described above us
  // or excluded there; empty otherwise.
  String CycleMarker(const void* identity);
  static void SetParent(ImvExceptionDataValue* v, TmvExceptionDataContainer* parent);

  std::vector<TInterfacePtr<ImvExceptionDataValue>> dcValues;
  const void* dcForObject;
  std::vector<const void*> dcExcludedObjects;
};

// Every concrete value derives from exactly one ValueBase; find its parent
// field through the interface it was stored as.
void TmvExceptionDataContainer::SetParent(ImvExceptionDataValue* v, TmvExceptionDataContainer* parent) {
  if (v->GetValueType() == edvtContainer)
    static_cast<TmvExceptionDataContainer*>(v->AsContainer())->beParent = parent;
  else
    static_cast<TmvExceptionDataBaseValue*>(v)->beParent = parent;
}

String TmvExceptionDataContainer::CycleMarker(const void* identity) {
  int step = 1;
  for (TmvExceptionDataContainer* c = beParent; c; c = c->beParent, ++step) {
    if (c->dcForObject == identity)
      return u"[Omitted to prevent cycle. Object already present " + IntToStr(step) + u" step up in history.]";
    if (std::find(c->dcExcludedObjects.begin(), c->dcExcludedObjects.end(), identity) != c->dcExcludedObjects.end())
      return u"[Excluded]";
  }
  return {};
}

void TmvExceptionDataContainer::AddObject(const String& name, TPersistent* object, bool flag) {
  if (!object) return;
  const void* identity = mvObjectIdentity(object);
  String marker = CycleMarker(identity);
  if (!marker.empty()) {
    AddString(name, marker);
    return;
  }
  if (auto* self = dynamic_cast<ImvExceptionData*>(object)) {
    ImvExceptionDataContainer* c = AddContainer(name);
    c->SetForObject(identity);
    self->WriteExceptionData(c, flag);
    return;
  }
  AddString(name, object->ClassName());
}

void TmvExceptionDataContainer::AddObject(const String& name, TStrings* list, bool) {
  if (!list) return;
  const void* identity = mvObjectIdentity(list);
  String marker = CycleMarker(identity);
  if (!marker.empty()) {
    AddString(name, marker);
    return;
  }
  ImvExceptionDataContainer* c = AddContainer(name);
  c->SetForObject(identity);
  for (int32_t i = 0; i < list->Count(); ++i) {
    String line = list->Get(i);
    size_t eq = line.find(u'=');
    if (eq != String::npos && eq > 0)
      c->AddString(line.substr(0, eq), line.substr(eq + 1));
    else
      c->AddString(u"[" + IntToStr(i) + u"]", eq == 0 ? line.substr(1) : line);
  }
}

// ---------------------------------------------------------------------------
// Display text

void AppendLine(String& out, int indent, const String& text) {
  out.append(static_cast<size_t>(indent) * 2, u' ');
  out += text;
  out += kCrLf;
}

String IntegerDisplay(int64_t v) {
  auto u = static_cast<uint64_t>(v);
  uint32_t hi = static_cast<uint32_t>(u >> 32), lo = static_cast<uint32_t>(u);
  if (hi == 0) return IntToStr(v) + u" ($" + IntToHex(u, 8) + u")";
  return IntToStr(v) + u" ($" + IntToHex(u, 16) + u", " + IntToStr(hi) + u":" + IntToStr(lo) + u")";
}

String VariantDisplay(const Variant& v) {
  if (v.IsNull()) return u"NULL";
  if (v.IsEmpty()) return u"EMPTY";
  try {
    if (v.IsText()) {
      String s = v.AsString(), quoted = u"'";
      for (char16_t ch : s) {
        quoted += ch;
        if (ch == u'\'') quoted += ch;
      }
      return quoted + u"'";
    }
    return v.AsString();
  } catch (const Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  }
}

void AppendDisplay(ImvExceptionDataValue* v, int indent, String& out) {
  String name = v->GetName();
  switch (v->GetValueType()) {
    case edvtContainer: {
      AppendLine(out, indent, name + u":");
      ImvExceptionDataContainer* c = v->AsContainer();
      for (int32_t i = 0; i < c->Count(); ++i) AppendDisplay(c->GetValue(i), indent + 1, out);
      break;
    }
    case edvtString: {
      std::vector<String> lines = SplitTextLines(v->AsString());
      if (lines.size() <= 1) {
        AppendLine(out, indent, name + u": " + (lines.empty() ? String() : lines[0]));
      } else {
        AppendLine(out, indent, name + u":");
        for (const String& line : lines) AppendLine(out, indent + 1, line);
      }
      break;
    }
    case edvtInteger:
      AppendLine(out, indent, name + u": " + IntegerDisplay(v->AsInteger()));
      break;
    case edvtBoolean:
      AppendLine(out, indent, name + u": " + (v->AsBoolean() ? u"True" : u"False"));
      break;
    case edvtFloat:
      AppendLine(out, indent, name + u": " + Format(u"%.15g", {v->AsFloat()}));
      break;
    case edvtVariant:
      AppendLine(out, indent, name + u": " + VariantDisplay(v->AsVariant()));
      break;
  }
}

// ---------------------------------------------------------------------------
// Encoding
//
//   identifier "EDV", integer peer version, value
//   value := integer kind, text name, payload
//   payload by kind: 0 text, 1 integer (64-bit), 2 Boolean, 3 extended float,
//                    4 variant, 5 vaList value* vaNull

void WriteValue(TmvWriter& w, ImvExceptionDataValue* v, int32_t version) {
  TmvExceptionDataValueType kind = v->GetValueType();
  w.WriteInteger(static_cast<int32_t>(kind));
  w.WriteString(v->GetName());
  switch (kind) {
    case edvtString:
      w.WriteString(v->AsString());
      break;
    case edvtInteger:
      w.WriteInteger(v->AsInteger());
      break;
    case edvtBoolean:
      w.WriteBoolean(v->AsBoolean());
      break;
    case edvtFloat:
      w.WriteFloat(static_cast<Extended>(v->AsFloat()));
      break;
    case edvtVariant:
      w.WriteVariant(v->AsVariant());
      break;
    case edvtContainer: {
      ImvExceptionDataContainer* c = v->AsContainer();
      w.WriteListBegin();
      for (int32_t i = 0; i < c->Count(); ++i) WriteValue(w, c->GetValue(i), version);
      w.WriteListEnd();
      break;
    }
  }
}

[[noreturn]] void IncompatibleStream() { throw EmvBaseException(15498); }

void ReadValueInto(TmvReader& r, TmvExceptionDataContainer* parent, int32_t version, int depth);

TInterfacePtr<ImvExceptionDataValue> ReadValue(TmvReader& r, int32_t version, int depth) {
  if (depth > kMaxDecodeDepth) IncompatibleStream();
  int32_t kind = r.ReadInteger();
  String name = r.ReadString();
  switch (kind) {
    case edvtString:
      return TInterfacePtr<ImvExceptionDataValue>(TmvInterfacedObject::Create<TmvExceptionDataStringValue>(name, r.ReadString()));
    case edvtInteger:
      return TInterfacePtr<ImvExceptionDataValue>(TmvInterfacedObject::Create<TmvExceptionDataIntegerValue>(name, r.ReadInt64()));
    case edvtBoolean:
      return TInterfacePtr<ImvExceptionDataValue>(TmvInterfacedObject::Create<TmvExceptionDataBooleanValue>(name, r.ReadBoolean()));
    case edvtFloat:
      return TInterfacePtr<ImvExceptionDataValue>(
          TmvInterfacedObject::Create<TmvExceptionDataFloatValue>(name, static_cast<double>(r.ReadFloat())));
    case edvtVariant:
      return TInterfacePtr<ImvExceptionDataValue>(TmvInterfacedObject::Create<TmvExceptionDataVariantValue>(name, r.ReadVariant()));
    case edvtContainer: {
      auto* c = TmvInterfacedObject::Create<TmvExceptionDataContainer>(name, nullptr, std::vector<const void*>{});
      TInterfacePtr<ImvExceptionDataValue> held(static_cast<ImvExceptionDataValue*>(c));
      r.ReadListBegin();
      while (!r.EndOfList()) ReadValueInto(r, c, version, depth + 1);
      r.ReadListEnd();
      return held;
    }
    default:
      IncompatibleStream();
  }
}

void ReadValueInto(TmvReader& r, TmvExceptionDataContainer* parent, int32_t version, int depth) {
  TInterfacePtr<ImvExceptionDataValue> v = ReadValue(r, version, depth);
  // Hand the fresh value to the container, which keeps its own reference.
  if (v->GetValueType() == edvtContainer)
    parent->Append(static_cast<TmvExceptionDataContainer*>(v->AsContainer()));
  else
    parent->Append(static_cast<TmvExceptionDataBaseValue*>(v.get()));
}

template <typename Interface>
String ValueBase<Interface>::ToEncodedString(int32_t peerVersion) {
  TmvAnsiStringStream stream;
  {
    TmvWriter w(stream);
    w.WriteIdent(u"EDV");
    w.WriteInteger(peerVersion);
    WriteValue(w, this, peerVersion);
  }  // the writer's buffer reaches the stream when the writer goes
  std::string b64 = mvStrToBase64(stream.DataString());
  return String(b64.begin(), b64.end());
}

}  // namespace

TInterfacePtr<ImvExceptionDataContainer> mvCreateExceptionDataContainer(const String& name, const void* forObject,
                                                                       std::vector<const void*> excluded) {
  return TInterfacePtr<ImvExceptionDataContainer>(TmvInterfacedObject::Create<TmvExceptionDataContainer>(name, forObject, std::move(excluded)));
}

TInterfacePtr<ImvExceptionDataValue> mvExceptionDataFromString(std::u16string_view text) {
  std::string narrow(text.size(), '\0');
  std::transform(text.begin(), text.end(), narrow.begin(), [](char16_t c) { return static_cast<char>(c & 0xFF); });
  TmvAnsiStringStream stream(mvBase64ToStr(narrow));
  TmvReader r(stream);
  if (CompareClassNames(r.ReadIdent(), u"EDV") != 0) IncompatibleStream();
  int32_t version = r.ReadInteger();
  return ReadValue(r, version, 0);
}

// ---------------------------------------------------------------------------
// Base64

namespace {
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string mvStrToBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kBase64Alphabet[n & 63] : '=';
  }
  return out;
}

std::string mvBase64ToStr(std::string_view text) {
  if (text.size() < 4 || text.size() % 4 != 0) throw Exception(u"Base64ToStr: illegal input length!");
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    int d[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      // Padding only at the very end, at most two.
      if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
        d[k] = 0;
        ++pad;
        continue;
      }
      d[k] = Base64Digit(c);
      if (d[k] < 0) throw Exception(u"Base64ToStr: illegal input character!");
    }
    uint32_t n = (d[0] << 18) | (d[1] << 12) | (d[2] << 6) | d[3];
    out += static_cast<char>((n >> 16) & 0xFF);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Conversion of exceptions

namespace {

String CustomInfoTag(const String& content, int32_t version) {
  if (version >= mvNewMarkerPeerVersion) return u"<[--!" + content + u"!--]>";
  return u"<[--!\u00FE" + content + u"\u00FE!--]>";
}

String OriginalMessageMarker(int32_t version) {
  return version >= mvNewMarkerPeerVersion ? String(SmvOrgMsgMarker) : String(SmvOrgMsgMarkerOld);
}

std::atomic<TmvConvertLogWriter> gConvertLogWriter{nullptr};

struct Converted {
  uint32_t code = 0;
  String text;
  String platformMessage;  // E's own message, for the log
};

// Step 2: code and text by the kind of the exception.
Converted CodeAndText(const std::exception* e, int32_t version) {
  Converted r;
  const String className = e ? ExceptionClassNameOf(*e) : String(u"std::exception");
  r.platformMessage = e ? ExceptionMessageOf(*e) : String();
  auto tag = [&](const String& name, const String& value) { return CustomInfoTag(name + u"=" + value, version); };

  if (auto* be = dynamic_cast<const EmvBaseException*>(e)) {
    if (be->ErrorCode() == 0) {
      r.code = 15520;
      r.text = be->Message();
    } else {
      r.code = be->ErrorCode();
      if (be->ExtendedMsg()) {
        r.text = be->ErrorString();
        if (be->HasCustomInfos()) {
          const TStringList& infos = be->CustomInfos();
          for (int32_t i = 0; i < infos.Count(); ++i) r.text += CustomInfoTag(infos.Strings(i), version);
        }
      }
    }
  } else if (auto* os = dynamic_cast<const EOSError*>(e)) {
    r.code = 11047;
    r.text = os->Message() + tag(u"OSError", IntToStr(os->ErrorCode)) + tag(u"Exception.Class", className) +
             tag(u"Exception.Message", os->Message());
  } else if (dynamic_cast<const EOutOfMemory*>(e) || dynamic_cast<const std::bad_alloc*>(e)) {
    r.code = 9473;
  } else {
    r.code = 15521;
    r.text = Format(u"Unexpected exception object raised: [%s] %s", {className, r.platformMessage}) +
             tag(u"Exception.Class", className) + tag(u"Exception.Message", r.platformMessage);
  }
  return r;
}

// Step 3: the context's description, as the tag to append and the display
// text for the log (both empty when it describes nothing). A context that
// cannot be described must not cost the failure its code: the tag then says
// why ("ExceptionDataError") instead.
void DescribeContext(ImvExceptionData* self, TPersistent* context, int32_t version, String& tag, String& display) {
  String failure;
  try {
    TInterfacePtr<ImvExceptionDataContainer> data =
        mvCreateExceptionDataContainer(u"ExceptionData", mvObjectIdentity(context));
    self->WriteExceptionData(data.get(), false);
    if (data->Count() == 0) return;
    tag = CustomInfoTag(String(SmvCustomInfoExceptionData) + u"=" + data->ToEncodedString(version), version);
    display = data->ToString();
    return;
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const std::exception& ex) {
    failure = ExceptionClassNameOf(ex) + u": " + ExceptionMessageOf(ex);
  } catch (...) {
    failure = u"(not an exception object)";
  }
  tag = CustomInfoTag(String(SmvCustomInfoExceptionDataError) + u"=" + failure, version);
  display = u"The exception data could not be written: " + failure;
}

uint32_t Convert(const std::exception* e, TmvBaseLog* log, TPersistent* context, int32_t version) {
  if (version == 0) version = mvThreadPeerVersionCapped();
  Converted r = CodeAndText(e, version);

  String tag, display;
  if (auto* self = dynamic_cast<ImvExceptionData*>(context)) DescribeContext(self, context, version, tag, display);
  if (!tag.empty()) {
    if (r.text.empty()) r.text = OriginalMessageMarker(version);
    r.text += tag;
  }

  EmvBaseException::SetLastConvertedException(r.code, r.text);

  // A log exists only once a log object was made, which installs the writer.
  if (log) {
    if (TmvConvertLogWriter write = gConvertLogWriter.load(std::memory_order_acquire)) {
      String msg = Format(u"Exception Cvt: %s", {r.platformMessage});
      if (!display.empty()) msg += kCrLf + display;
      write(log, msg, r.code);
    }
  }
  return r.code;
}

}  // namespace

void mvSetConvertLogWriter(TmvConvertLogWriter writer) { gConvertLogWriter.store(writer, std::memory_order_release); }

uint32_t mvConvertException(const std::exception& e, TmvBaseLog* log, TPersistent* context, int32_t peerVersion) {
  return Convert(&e, log, context, peerVersion);
}

uint32_t mvConvertCurrentException(TmvBaseLog* log, TPersistent* context, int32_t peerVersion) {
  try {
    throw;
  } catch (const std::exception& e) {
    return Convert(&e, log, context, peerVersion);
  } catch (...) {
    return Convert(nullptr, log, context, peerVersion);
  }
}

// ---------------------------------------------------------------------------
// Main thread and the exceptions' seam

namespace {
thread_local bool tIsMainThread = false;

IInterface* CreateContainerHook(const String& name) {
  return mvCreateExceptionDataContainer(name, nullptr).Detach();
}

IInterface* DecodeContainerHook(const String& encoded) {
  TInterfacePtr<ImvExceptionDataValue> v = mvExceptionDataFromString(encoded);
  if (v->GetValueType() != edvtContainer) return nullptr;
  return TInterfacePtr<ImvExceptionDataContainer>(v->AsContainer()).Detach();
}
}  // namespace

bool mvIsMainThread() { return tIsMainThread; }
void mvMarkMainThread() { tIsMainThread = true; }

ImvExceptionDataContainer* mvExceptionDataContainerOf(IInterface* data) {
  if (!data) return nullptr;
  void* obj = nullptr;
  if (data->QueryInterface(IID_ImvExceptionDataContainer, &obj) != S_OK) return nullptr;
  auto* c = static_cast<ImvExceptionDataContainer*>(obj);
  c->_Release();  // the caller's object keeps it alive
  return c;
}

void mvInitExceptionData() {
  mvMarkMainThread();
  TmvExceptionDataHooks hooks;
  hooks.CreateContainer = &CreateContainerHook;
  hooks.DecodeContainer = &DecodeContainerHook;
  mvSetExceptionDataHooks(hooks);
}

void mvFinalizeExceptionData() { mvSetExceptionDataHooks(TmvExceptionDataHooks{}); }
