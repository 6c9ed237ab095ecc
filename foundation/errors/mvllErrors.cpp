// Foundation: the message table of the engine's error codes and its lookup.
//
// The table is data: one row per code, sorted by code, looked up by binary
// search. The texts are the engine's defaults, exactly as callers and clients
// see them.
#include "foundation/errors/mvllErrors.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

struct ErrorRow {
  int32_t code;
  std::u16string_view text;
};

constexpr ErrorRow kErrorRows[] = {
    {MVERR_NONE, u"Success"},
    {MVERR_KEYFILTERED, u"Key has been filtered"},
    {MVERR_CACHEVALID, u"Cache is valid"},
    {MVERR_CACHEINVALID, u"Cache is invalid"},
    {MVERR_REENTERED, u"System has been illegally re-entered."},
    {MVERR_BOF, u"At beginning of table."},
    {MVERR_EOF, u"At end of table."},
    {MVERR_KEYORRECDELETED, u"Record/Key deleted."},
    {MVERR_NOCURRREC, u"No current record."},
    {MVERR_RECNOTFOUND, u"Could not find record."},
    {MVERR_ENDOFBLOB, u"End of BLOB."},
    {MVERR_OBJNOTFOUND, u"Could not find object."},
    {MVERR_HEADERCORRUPT, u"Corrupt table/index header."},
    {MVERR_FILECORRUPT, u"Corrupt file - other than header."},
    {MVERR_INDEXCORRUPT, u"Corrupt index."},
    {MVERR_READERR, u"Read failure."},
    {MVERR_WRITEERR, u"Write failure."},
    {MVERR_DIRNOACCESS, u"Cannot access directory."},
    {MVERR_FILEBUSY, u"Cannot access file. File may be in use by another process."},
    {MVERR_NOMEMORY, u"Insufficient memory for this operation."},
    {MVERR_TABLEFULL, u"Table is full."},
    {MVERR_TOOMANYCLIENTS, u"Too many clients."},
    {MVERR_TOOMANYINDEXES, u"Too many indexes on table."},
    {MVERR_TOOMANYFIELDS, u"Too many fields."},
    {MVERR_KEYVIOL, u"Key violation."},
    {MVERR_MINVALERR, u"Minimum validity check failed."},
    {MVERR_MAXVALERR, u"Maximum validity check failed."},
    {MVERR_REQDERR, u"Field value required."},
    {MVERR_MASTERMISSING, u"Master record missing."},
    {MVERR_MASTEREXISTS, u"Master has detail records. Cannot delete or modify."},
    {MVERR_FIELDISBLANK, u"Field is blank."},
    {MVERR_EXPRVALIDATIONFAILED, u"Expression validity check failed."},
    {MVERR_OUTOFRANGE, u"Number is out of range."},
    {MVERR_INVALIDPARAM, u"Invalid parameter."},
    {MVERR_INVALIDHNDL, u"Invalid handle to the function."},
    {MVERR_CANNOTOPENFILE, u"Cannot open file."},
    {MVERR_INVALIDMODIFYREQUEST, u"Invalid modify request."},
    {MVERR_NOSUCHINDEX, u"Index does not exist."},
    {MVERR_INVALIDBLOBOFFSET, u"Invalid offset into the BLOB."},
    {MVERR_INVALIDDESCNO, u"Invalid descriptor number."},
    {MVERR_INVALIDFLDTYPE, u"Invalid field type."},
    {MVERR_INVALIDFLDDESC, u"Invalid field descriptor."},
    {MVERR_INVALIDFLDXFORM, u"Invalid field transformation."},
    {MVERR_INVALIDRECSTRUCT, u"Invalid record structure."},
    {MVERR_INVALIDDESC, u"Invalid descriptor."},
    {MVERR_INVALIDINDEXSTRUCT, u"Invalid array of index descriptors."},
    {MVERR_NAMENOTUNIQUE, u"Name not unique in this context."},
    {MVERR_UNKNOWNDB, u"Unknown database."},
    {MVERR_INVALIDPASSWORD, u"Invalid password given."},
    {MVERR_ALIASDIRNOTFOUND, u"The alias references a directory that does not exist."},
    {MVERR_TRANSLATEOUTOFBOUNDS, u"Translate Error. Value out of bounds."},
    {MVERR_DIFFERENTTABLES, u"Cannot set cursor of one table to another."},
    {MVERR_BOOKMARKSMISMATCH, u"Bookmarks do not match table."},
    {MVERR_INVALIDINDEXNAME, u"Invalid index name."},
    {MVERR_INVALIDINDEXDESC, u"Invalid index descriptor."},
    {MVERR_NOSUCHTABLE, u"Table does not exist."},
    {MVERR_INDEXEXISTS, u"Index already exists."},
    {MVERR_INVALIDBLOBLEN, u"Invalid BLOB length."},
    {MVERR_INVALIDBLOBHANDLE, u"Invalid BLOB handle in record buffer."},
    {MVERR_TABLEOPEN, u"Table is open."},
    {MVERR_INVALIDUSERPASSWORD, u"Unknown user name or password."},
    {MVERR_INVALIDFIELDNAME, u"Invalid field name."},
    {MVERR_INVALIDTABLENAME, u"Invalid table name."},
    {MVERR_INVALIDFILEEXTN, u"Invalid file extension."},
    {MVERR_INVALIDLANGDRV, u"Invalid language Driver."},
    {MVERR_INVALIDFILTERHANDLE, u"Filter handle is invalid"},
    {MVERR_INVALIDFILTER, u"Invalid Filter"},
    {MVERR_INVALIDALIASNAME, u"Invalid alias name."},
    {MVERR_INVALIDNAME, u"Invalid name."},
    {MVERR_RECLOCKED, u"Record locked by another user."},
    {MVERR_FILELOCKED, u"File is locked."},
    {MVERR_LOCKTIMEOUT, u"Lock time out."},
    {MVERR_NEEDEXCLACCESS, u"Object cannot be opened for exclusive use."},
    {MVERR_SESSIONLOCKCONFLICT, u"Conflicting lock in this session."},
    {MVERR_DEADLOCK, u"A deadlock was detected. You need to rollback this transaction."},
    {MVERR_ACTIVETRAN, u"A user transaction is already in progress."},
    {MVERR_NOACTIVETRAN, u"No user transaction is currently in progress."},
    {MVERR_RECLOCKFAILED, u"Record lock failed."},
    {MVERR_RECCHANGEDBYOTHER, u"Couldn't perform the edit because another user changed the record."},
    {MVERR_RECDELETEDBYOTHER, u"Couldn't perform the edit because another user deleted or moved the record."},
    {MVERR_NOTSUFFTABLERIGHTS, u"Insufficient table rights for operation."},
    {MVERR_DBREADONLY, u"Database is read only."},
    {MVERR_READONLYFLD, u"Trying to modify read-only field."},
    {MVERR_ENCRYPTEDNOTSUPPORTED, u"Encrypted tables not supported."},
    {MVERR_NOTABLOB, u"Field is not a BLOB."},
    {MVERR_NOTAPPLICABLE, u"Operation not applicable."},
    {MVERR_TABLENOTINDEXED, u"Table is not indexed."},
    {MVERR_DIFFERENTSESSIONS, u"Objects are not owned by the same session."},
    {MVERR_TABLEREADONLY, u"Table is read only."},
    {MVERR_NOASSOCINDEX, u"No associated index."},
    {MVERR_OSUNKNOWN, u"Unknown internal operating system error."},
    {MVERR_NOSERVERENGINE, u"No ServerEngine is connected to the CommandHandler."},
    {MVERR_LOSTCONNECTION, u"Lost communication with network server."},
    {MVERR_SERVERNOTFOUND, u"Cannot locate or connect to network server."},
    {MVERR_BLOBGENERAL, u"General BLOB error."},
    {MVERR_INCOMPATIBLEVERSION, u"Server is incompatible version."},
    {MVERR_HIGHERTABLELEVEL, u"Higher table level required"},
    {MVERR_NOTSUPPORTED, u"Capability not supported."},
    {MVERR_BLOBMODIFIED, u"BLOB has been modified."},
    {MVERR_TABLEEXISTS, u"Table already exists."},
    {MVERR_UPDATEABORTED, u"Update aborted."},
    {MVERR_FILEINVALIDDATA, u"TmvBaseFile contains invalid data"},
    {MVERR_FILECLOSE, u"File could not be closed"},
    {MVERR_FILECOPY, u"Error when copying a file"},
    {MVERR_FILEDELETE, u"Error when deleting a file"},
    {MVERR_FILERENAME, u"Error when renaming a file"},
    {MVERR_INVALIDBLOCKNR, u"Block number is either < 0, or >= number of blocks in file"},
    {MVERR_INVALIDREFNR, u"Record reference number is invalid"},
    {MVERR_NOTADATABLOCK, u"Block read from file is not a data block"},
    {MVERR_NOHEADERACCESSFACTORIES, u"A TmvServerEngine without file header access factories has been detected. Please add \"mvseAllEngines\" to your program's USES clause, and recompile."},
    {MVERR_NEWERTABLEVERSION, u"The table cannot be opened because it was created with a newer version of MorvaDB."},
    {MVERR_NOTAHEAPBLOCK, u"Block read from file is not a heap block"},
    {MVERR_NOTASTREAMBLOCK, u"Block read from file is not a stream block"},
    {MVERR_NOTANINDEXBLOCK, u"Block read from file is not an index block"},
    {MVERR_INDEXNROUTOFRANGE, u"Index number passed to routine is out of range"},
    {MVERR_FILEBLOBOPEN, u"An error occurred when opening the external file for a file BLOB"},
    {MVERR_FILEBLOBREAD, u"An error occurred when reading the external file for a file BLOB"},
    {MVERR_FILEBLOBCLOSE, u"An error occurred when closing the external file for a file BLOB"},
    {MVERR_TRANSACTIONCORRUPT, u"The transaction was corrupt due to an earlier failure. No commit took place. You need to rollback this transaction."},
    {MVERR_FILTERTIMEOUT, u"The filter timed out."},
    {MVERR_OPERATIONTIMEOUT, u"The operation could not be completed in the allotted time."},
    {MVERR_NOTCONNECTED, u"The session is not connected to a server engine."},
    {MVERR_INCOMPATIBLEDICTIONARIES, u"The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, and decimal places have been specified."},
    {MVERR_SAMETABLE, u"The cursors may not reference the same table for this operation."},
    {MVERR_BLOBTOOLARGE, u"BLOB size exceeds maximum size."},
    {MVERR_SUBENGINEINCOMPATIBLE, u"Sub-Engine is incompatible with the selected file header structure."},
    {MVERR_INVALIDSEGMENTNR, u"Invalid segment number"},
    {MVERR_SEGMENTDELETED, u"Segment has been deleted"},
    {MVERR_MAXKEYSIZE, u"Maximum key size has been exceeded"},
    {MVERR_MAXRECORDSIZE, u"Maximum record size has been exceeded"},
    {MVERR_TEMPSTORAGEINVALIDBLOCK, u"Temporary Storage: Invalid block number"},
    {MVERR_TEMPSTORAGEFULL, u"Temporary Storage: Full"},
    {MVERR_INCOMPATIBLESTREAM, u"Incompatible stream"},
    {MVERR_UNSUPPORTEDDESCRIPTOR, u"Unsupported dictionary descriptor"},
    {MVERR_DICTIONARYREADONLY, u"The data dictionary is read only"},
    {MVERR_DUPLICATEAUTOINC, u"Duplicated autoinc field"},
    {MVERR_OBJECTINUSE, u"Object is currently in use"},
    {MVERR_UNSUPPORTEDSUBENGINE, u"Specified sub-engine is not supported"},
    {MVERR_UNSUPPORTEDHEADERACCESS, u"Specified file header access is not supported"},
    {MVERR_NOSERVERNAME, u"Servername of the transport is not set"},
    {MVERR_DUPLICATERECREV, u"Duplicated RecRev field"},
    {MVERR_SIGNAL, u"A SIGNAL has been raised"},
    {MVERR_SAMEFOLDER, u"The databases may not reference the same folder for this operation."},
    {MVERR_RECOVERYFAILED, u"Recovery failed."},
    {MVERR_INDEXNOTEMPTY, u"Index is not empty."},
    {MVERR_DUPLICATEREFNR, u"Duplicated RefNr field"},
    {MVERR_DUPLICATELSN, u"Duplicated LSN field"},
    {MVERR_UNEXPECTEDEXCEPTION, u"Unknown (unexpected exception object raised)"},
    {MVERR_UNRECOGNIZEDMESSAGE, u"Message is unrecognized."},
    {MVERR_NOMESSAGEQUEUED, u"No message is queued"},
};

constexpr bool rowsSortedAndUnique() {
  for (size_t i = 1; i < std::size(kErrorRows); ++i)
    if (kErrorRows[i - 1].code >= kErrorRows[i].code) return false;
  return true;
}
static_assert(rowsSortedAndUnique(), "the lookup is a binary search over codes");

const ErrorRow* findRow(int32_t code) {
  auto it = std::lower_bound(std::begin(kErrorRows), std::end(kErrorRows), code,
                             [](const ErrorRow& r, int32_t c) { return r.code < c; });
  return it != std::end(kErrorRows) && it->code == code ? it : nullptr;
}

}  // namespace

String mvGetErrorString(int32_t aErrorCode) {
  if (const ErrorRow* row = findRow(aErrorCode)) return String(row->text);
  // Tested on the full 32-bit value, so negative codes and codes above 0xFFFF
  // never count as composed.
  if ((aErrorCode & ~0xF) == MVERR_CACHEINVALID_BASE) {
    return mvGetErrorString(MVERR_CACHEINVALID) + u": " +
           mvGetErrorString(aErrorCode & ~MVERR_CACHEINVALID_MASK);
  }
  return SUnknownErrorCode;
}
