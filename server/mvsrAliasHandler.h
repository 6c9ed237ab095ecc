// Server engine: the alias table of the in-process engine (unit
// mvsrAliasHandler).
//
// An alias names a database folder. `TmvBaseAliasHandler` is the component
// the engine keeps its alias table in, with its configuration ("Aliases":
// "name=path;name=path", sorted) and settings stream; `TmvSimpleAliasHandler`
// keeps the table in memory, names compared without case. The session's
// alias operations (mvsrServerSession.h) validate the names, ask the
// engine's extenders and then call the handler.
//
// A path holding ";" or a line break is refused (9986): the configuration
// could not store it apart from the next alias. Changing an alias's name
// checks (or creates) the new folder before the old entry goes, so a
// failure changes nothing.
//
// Threads: the simple handler's operations may run on any thread; the
// component's dependent-list padlock guards the table (Clear excepted,
// which its owner calls alone). Calls the foundation, storage's file helpers
// and the server's name rules.
#pragma once

#include "foundation/mvllComponents.h"
#include "foundation/mvllFastStringList.h"
#include "server/mvsdAbstractSession.h"

class TmvBaseAliasHandler : public TmvComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  using TmvComponent::TmvComponent;

  virtual void Clear() = 0;
  // 10009 when present; with aEnforce the folder is created with its
  // missing parents (9219 when that fails).
  virtual uint32_t Add(const String& aAlias, const String& aPath, bool aEnforce) = 0;
  // 10014 "Unknown database." when absent.
  virtual uint32_t Delete(const String& aAlias) = 0;
  // A new name (case-sensitively different; 10009 when taken, also by a case
  // variant of the alias itself) and/or a new path (empty: the current one).
  virtual uint32_t Modify(const String& aAlias, const String& aNewName, const String& aNewPath, bool aEnforce) = 0;
  // Appends one entry per alias, in sorted order.
  virtual uint32_t GetList(TmvAliasDescriptors& aList) = 0;
  virtual uint32_t GetPath(const String& aAlias, String& aPath) = 0;
  bool IsAlias(const String& aAlias);

  // "Aliases", kind mvstAliases.
  void GetConfigSettings(TmvBaseSettings* aSettings) override;
  // Replaces the table by the configuration's; names that fail the name
  // rules are skipped and reported in the configuration's error text, paths
  // of missing folders are reported and kept.
  void LoadConfig(TmvBaseComponentConfiguration* aConfig) override;
  void SaveConfig(TmvBaseComponentConfiguration* aConfig) override;
  // After the component's part: integer 1, then the (alias, path) pairs
  // from the last to the first. Another version raises 15498.
  void LoadSettingsFromStream(TmvReader* aReader) override;
  void SaveSettingsToStream(TmvWriter* aWriter) override;
};

// One entry's payload.
class TmvAliasItem : public TmvObject {
 public:
  explicit TmvAliasItem(const String& aPath) : Path(aPath) {}
  String Path;
};

class TmvSimpleAliasHandler : public TmvBaseAliasHandler {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TmvSimpleAliasHandler(TComponent* aOwner);
  ~TmvSimpleAliasHandler() override;

  void Clear() override;
  uint32_t Add(const String& aAlias, const String& aPath, bool aEnforce) override;
  uint32_t Delete(const String& aAlias) override;
  uint32_t Modify(const String& aAlias, const String& aNewName, const String& aNewPath, bool aEnforce) override;
  uint32_t GetList(TmvAliasDescriptors& aList) override;
  uint32_t GetPath(const String& aAlias, String& aPath) override;

 private:
  // Write or read access to the table (one padlock serves both).
  TmvPadlock* TableLock() const { return DependentPadlock(); }

  TmvFastStringListIC sahList{dupError};
};

// Whether a path can be kept in the alias configuration: no ";" and no line
// break. 9986 "Invalid parameter." otherwise.
uint32_t mvCheckAliasPath(const String& aPath);
// Creates the folder with every missing parent; 9219 "Cannot access
// directory." when that fails.
uint32_t mvForceAliasFolder(const String& aPath);
// The path with blanks and control characters trimmed at both ends.
String mvTrimPath(const String& aPath);
// Whether the path names an existing folder (through storage's file system).
bool mvAliasFolderExists(const String& aPath);
