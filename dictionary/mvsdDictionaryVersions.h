// Data dictionary: the peer versions at which the dictionary's stream forms
// change.
//
// Every descriptor writes itself for the protocol version of the peer that
// will read it (the client version argument of SaveToWriter). These are the
// thresholds the descriptors test against; every one lives here, so that one
// place shows what an older peer can read. Nothing here has state.
#pragma once

#include <cstdint>

#include "foundation/types/mvsdTypes.h"

// From this version the item header carries the item ID and the constraint
// name (header version 3, else 1), and the fields, files, locale and
// validation parts exist at all: a peer below it cannot take them (12039).
// Key descriptors write their filter part, key fields their version-2 form
// (locale, override lengths, null behaviour), from this version on.
inline constexpr int32_t mvPeerVersionItemIDs = 20000;

// From this version a RefNr field is stored with its own type; below it the
// field is written as an Int64 field and the dictionary is marked as missing
// information.
inline constexpr int32_t mvPeerVersionRefNrFields = 47005;

// Keys, indexes and locales.
// From this version an index may allow duplicates only among keys with
// nulls (`idNull`, index body version 2).
inline constexpr int32_t mvPeerVersionIndexDupsNull = 20400;
// From this version a locale body (version 2) carries the sort-rule
// version recorded when the table was built.
inline constexpr int32_t mvPeerVersionLocaleBuildVersion = 30900;
// From this version a table may carry internal indexes (the internal
// indices descriptor).
inline constexpr int32_t mvPeerVersionInternalIndices = 47005;

// Referential integrity. From this version a table target carries its
// password, and sources and actions their SkipOnNull flag (version 2 forms);
// below it neither can be written (12039).
inline constexpr int32_t mvPeerVersionRefIntegrityV2 = 20000;

// Filters. From this version a simple-expression filter descriptor carries
// the code page of its text constants (stream version 4).
inline constexpr int32_t mvPeerVersionFilterCodePage = 30002;

// Full text. From this version a main-index token key may include the
// record location (its body version 2).
inline constexpr int32_t mvPeerVersionTokenKeyLocation = 20700;

// The data dictionary's own stream. A peer below each threshold reads at
// most the dictionary version named (the written version is lowered to it):
// below 20000 version 2, the old layout without item headers and nested
// tables; below 30900 version 3, without the stored wide-string byte-order
// flag; below 47005 version 4, without RefNr fields and internal indexes.
inline constexpr int32_t mvPeerVersionDictionaryV3 = 20000;
inline constexpr int32_t mvPeerVersionDictionaryV4 = 30900;
inline constexpr int32_t mvPeerVersionDictionaryV5 = 47005;

// The version a descriptor is written for when it is copied inside this
// engine (Assign, copying a field): this engine's own.
inline constexpr int32_t mvPeerVersionOwn = mvEngineVersion;
