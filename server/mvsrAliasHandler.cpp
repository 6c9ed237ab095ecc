// Server engine: the alias table of the in-process engine. See
// mvsrAliasHandler.h.
#include "server/mvsrAliasHandler.h"

#include <filesystem>
#include <system_error>

#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllConfigSettings.h"
#include "foundation/mvllStreams.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerNames.h"
#include "storage/files/mvsrFileSystem.h"

constinit const TmvComponentClassRef TmvBaseAliasHandler::StaticClass{
    {{u"TmvBaseAliasHandler", &TmvComponent::StaticClass}, nullptr}, &EmvComponentExceptionClass};
constinit const TmvComponentClassRef TmvSimpleAliasHandler::StaticClass{
    {{u"TmvSimpleAliasHandler", &TmvBaseAliasHandler::StaticClass}, &ComponentFactory<TmvSimpleAliasHandler>},
    &EmvComponentExceptionClass};

namespace {

uint32_t Code(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

}  // namespace

uint32_t mvCheckAliasPath(const String& aPath) {
  if (aPath.find_first_of(u";\r\n") != String::npos) return Code(MVERR_INVALIDPARAM);
  return 0;
}

String mvTrimPath(const String& aPath) {
  size_t first = 0, last = aPath.size();
  while (first < last && aPath[first] <= u' ') ++first;
  while (last > first && aPath[last - 1] <= u' ') --last;
  return aPath.substr(first, last - first);
}

bool mvAliasFolderExists(const String& aPath) {
  TmvFileStat stat;
  return mvFileSystem().Stat(UTF8Encode(aPath), stat) == 0 && stat.IsDirectory;
}

uint32_t mvForceAliasFolder(const String& aPath) {
  if (mvAliasFolderExists(aPath)) return 0;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(UTF8Encode(aPath)), error);
  if (error || !mvAliasFolderExists(aPath)) return Code(MVERR_DIRNOACCESS);
  return 0;
}

// ---------------------------------------------------------------------------
// TmvBaseAliasHandler

bool TmvBaseAliasHandler::IsAlias(const String& aAlias) {
  String path;
  return GetPath(aAlias, path) == 0;
}

void TmvBaseAliasHandler::GetConfigSettings(TmvBaseSettings* aSettings) {
  TmvComponent::GetConfigSettings(aSettings);
  TmvBaseSetting* setting = aSettings->AddSetting();
  setting->fName = u"Aliases";
  setting->fPropertyName = u"Aliases";
  setting->fSettingType = mvstAliases;
  setting->fDefaultValue = Variant(String());
}

void TmvBaseAliasHandler::LoadConfig(TmvBaseComponentConfiguration* aConfig) {
  TmvComponent::LoadConfig(aConfig);
  String text = aConfig->GetValue(u"Aliases", Variant(String())).AsString();
  for (char16_t& c : text)
    if (c == u';') c = u'\n';
  TStringList lines;
  for (const String& line : SplitTextLines(text)) lines.Add(line);
  String errors;
  Clear();
  for (int32_t i = 0; i < lines.Count(); ++i) {
    const String name = lines.Names(i);
    const String path = lines.ValueFromIndex(i);
    if (mvCheckAliasName(name, false) != 0) {
      errors += u"ERROR: AliasName \"" + name +
                u"\" is not valid. Alias has not been activated in the server engine.\r\n";
      continue;
    }
    if (!path.empty() && path[0] != u'#' && !mvAliasFolderExists(path))
      errors += u"WARNING: Database folder for \"" + name + u"\" does not exist: \"" + path + u"\"\r\n";
    Add(name, path, false);
  }
  if (aConfig->fConfig) aConfig->fConfig->fConfigErrors += errors;
}

void TmvBaseAliasHandler::SaveConfig(TmvBaseComponentConfiguration* aConfig) {
  TmvComponent::SaveConfig(aConfig);
  TmvAliasDescriptors aliases;
  GetList(aliases);
  String text;
  for (const TmvAliasDescriptor& a : aliases) {
    if (!text.empty()) text += u';';
    text += a.adAlias + u'=' + a.adPath;
  }
  aConfig->SetValue(u"Aliases", Variant(text));
}

void TmvBaseAliasHandler::SaveSettingsToStream(TmvWriter* aWriter) {
  TmvComponent::SaveSettingsToStream(aWriter);
  aWriter->WriteInteger(1);
  TmvAliasDescriptors aliases;
  GetList(aliases);
  aWriter->WriteListBegin();
  for (auto a = aliases.rbegin(); a != aliases.rend(); ++a) {
    aWriter->WriteString(a->adAlias);
    aWriter->WriteString(a->adPath);
  }
  aWriter->WriteListEnd();
}

void TmvBaseAliasHandler::LoadSettingsFromStream(TmvReader* aReader) {
  TmvComponent::LoadSettingsFromStream(aReader);
  if (aReader->ReadInteger() != 1) EmvComponentExceptionClass.RaiseCode(this, MVERR_INCOMPATIBLESTREAM);
  Clear();
  aReader->ReadListBegin();
  while (!aReader->EndOfList()) {
    const String alias = aReader->ReadString();
    const String path = aReader->ReadString();
    Add(alias, path, false);
  }
  aReader->ReadListEnd();
}

// ---------------------------------------------------------------------------
// TmvSimpleAliasHandler

TmvSimpleAliasHandler::TmvSimpleAliasHandler(TComponent* aOwner) : TmvBaseAliasHandler(aOwner) {}

TmvSimpleAliasHandler::~TmvSimpleAliasHandler() { sahList.Clear(true); }

void TmvSimpleAliasHandler::Clear() { sahList.Clear(true); }

uint32_t TmvSimpleAliasHandler::Add(const String& aAlias, const String& aPath, bool aEnforce) {
  if (uint32_t code = mvCheckAliasPath(aPath)) return code;
  TmvPadlockGuard guard(TableLock());
  int32_t index;
  if (sahList.Find(aAlias, index)) return Code(MVERR_NAMENOTUNIQUE);
  if (aEnforce) {
    if (uint32_t code = mvForceAliasFolder(aPath)) return code;
  }
  sahList.AddObject(aAlias, new TmvAliasItem(aPath));
  return 0;
}

uint32_t TmvSimpleAliasHandler::Delete(const String& aAlias) {
  TmvPadlockGuard guard(TableLock());
  int32_t index;
  if (!sahList.Find(aAlias, index)) return Code(MVERR_UNKNOWNDB);
  delete static_cast<TmvAliasItem*>(sahList.GetObject(index));
  sahList.Delete(index);
  return 0;
}

uint32_t TmvSimpleAliasHandler::Modify(const String& aAlias, const String& aNewName, const String& aNewPath,
                                       bool aEnforce) {
  if (uint32_t code = mvCheckAliasPath(aNewPath)) return code;
  TmvPadlockGuard guard(TableLock());
  int32_t index;
  if (!sahList.Find(aAlias, index)) return Code(MVERR_UNKNOWNDB);
  auto* item = static_cast<TmvAliasItem*>(sahList.GetObject(index));
  const String path = aNewPath.empty() ? item->Path : aNewPath;
  const bool renames = !aNewName.empty() && aNewName != aAlias;
  int32_t taken;
  if (renames && sahList.Find(aNewName, taken)) return Code(MVERR_NAMENOTUNIQUE);
  // The folder first: a folder that cannot be made leaves the alias as it was.
  if (aEnforce) {
    if (uint32_t code = mvForceAliasFolder(path)) return code;
  }
  if (!renames) {
    item->Path = path;
    return 0;
  }
  delete item;
  sahList.Delete(index);
  sahList.AddObject(aNewName, new TmvAliasItem(path));
  return 0;
}

uint32_t TmvSimpleAliasHandler::GetList(TmvAliasDescriptors& aList) {
  TmvPadlockGuard guard(TableLock());
  for (int32_t i = 0; i < sahList.Count(); ++i)
    aList.push_back({sahList.Get(i), static_cast<TmvAliasItem*>(sahList.GetObject(i))->Path});
  return 0;
}

uint32_t TmvSimpleAliasHandler::GetPath(const String& aAlias, String& aPath) {
  TmvPadlockGuard guard(TableLock());
  int32_t index;
  if (!sahList.Find(aAlias, index)) return Code(MVERR_UNKNOWNDB);
  aPath = static_cast<TmvAliasItem*>(sahList.GetObject(index))->Path;
  return 0;
}
