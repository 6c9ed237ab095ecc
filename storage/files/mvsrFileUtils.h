// Storage: the file and path helpers that the server engine and the journal
// use for the files around the tables (unit mvsrFileUtils).
//
// Deleting and renaming go through the file-system interface
// (mvsrFileSystem.h) and put the change of the folder on stable storage
// before they return, so that a deleted journal does not come back and a
// renamed table does not lose its new name after a power failure. Paths are
// POSIX paths: the separator is "/".
//
// Safe from any thread; the caller keeps other users of the files away.
// Calls the file-system interface only.
#pragma once

#include "foundation/errors/mvllExceptions.h"

MV_DECLARE_EXCEPTION(EmvFileManagementException, EmvBaseException)

// Deletes the file; a failure raises 15393 naming "DeleteFile (\"<name>\")"
// and the system's error.
void mvDeleteFile(const String& aFileName);
// Renames (or moves) the file; a failure raises 15394 naming "RenameFile
// (from \"<old>\" to \"<new>\")" and the system's error.
void mvRenameFile(const String& aOldName, const String& aNewName);
// aFolder + "/" + aName; no separator is inserted when aFolder is empty or
// ends with one.
String mvJoinPath(const String& aFolder, const String& aName);
// aName + "." + aExtension.
String mvAddExtension(const String& aName, const String& aExtension);
// The absolute, tidied form of a file name; the name as given when it has
// none (an empty name, or a relative one while the working folder is gone),
// so that opening it reports the engine's error. Never raises.
String mvAbsoluteFileName(const String& aName);
