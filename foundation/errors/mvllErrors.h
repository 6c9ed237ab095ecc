// Foundation: the engine's error codes and their standard message texts.
//
// Every failure inside the engine is a signed 32-bit code; 0 is success and
// 1..3 are result codes of record and cache operations, not failures. Codes
// from 8455 to 13062 are grouped by category: bits 8..15 are the category,
// bits 0..7 the number within it (8705 is category 0x22, number 1). Codes
// 15360..15536 are the engine's own. 8944..8959 are composed codes: a base
// code of category 0x22 reported together with an invalid record cache; they
// have no row in the table and their text is built from two rows.
//
// Codes travel as plain integers through every interface; this unit only
// names them and gives their texts. Nothing here raises or allocates beyond
// the returned string, and everything is safe from any thread.
#pragma once

#include <cstdint>

#include "platform/System.h"

// ---------------------------------------------------------------------------
// Codes with a row in the message table

inline constexpr int32_t MVERR_NONE                      = 0;  // 0x0000
inline constexpr int32_t MVERR_KEYFILTERED               = 1;  // 0x0001
inline constexpr int32_t MVERR_CACHEVALID                = 2;  // 0x0002
inline constexpr int32_t MVERR_CACHEINVALID              = 3;  // 0x0003
inline constexpr int32_t MVERR_REENTERED                 = 8455;  // 0x2107
inline constexpr int32_t MVERR_BOF                       = 8705;  // 0x2201
inline constexpr int32_t MVERR_EOF                       = 8706;  // 0x2202
inline constexpr int32_t MVERR_KEYORRECDELETED           = 8708;  // 0x2204
inline constexpr int32_t MVERR_NOCURRREC                 = 8709;  // 0x2205
inline constexpr int32_t MVERR_RECNOTFOUND               = 8710;  // 0x2206
inline constexpr int32_t MVERR_ENDOFBLOB                 = 8711;  // 0x2207
inline constexpr int32_t MVERR_OBJNOTFOUND               = 8712;  // 0x2208
inline constexpr int32_t MVERR_HEADERCORRUPT             = 8961;  // 0x2301
inline constexpr int32_t MVERR_FILECORRUPT               = 8962;  // 0x2302
inline constexpr int32_t MVERR_INDEXCORRUPT              = 8965;  // 0x2305
inline constexpr int32_t MVERR_READERR                   = 9217;  // 0x2401
inline constexpr int32_t MVERR_WRITEERR                  = 9218;  // 0x2402
inline constexpr int32_t MVERR_DIRNOACCESS               = 9219;  // 0x2403
inline constexpr int32_t MVERR_FILEBUSY                  = 9221;  // 0x2405
inline constexpr int32_t MVERR_NOMEMORY                  = 9473;  // 0x2501
inline constexpr int32_t MVERR_TABLEFULL                 = 9479;  // 0x2507
inline constexpr int32_t MVERR_TOOMANYCLIENTS            = 9486;  // 0x250E
inline constexpr int32_t MVERR_TOOMANYINDEXES            = 9487;  // 0x250F
inline constexpr int32_t MVERR_TOOMANYFIELDS             = 9492;  // 0x2514
inline constexpr int32_t MVERR_KEYVIOL                   = 9729;  // 0x2601
inline constexpr int32_t MVERR_MINVALERR                 = 9730;  // 0x2602
inline constexpr int32_t MVERR_MAXVALERR                 = 9731;  // 0x2603
inline constexpr int32_t MVERR_REQDERR                   = 9732;  // 0x2604
inline constexpr int32_t MVERR_MASTERMISSING             = 9733;  // 0x2605
inline constexpr int32_t MVERR_MASTEREXISTS              = 9734;  // 0x2606
inline constexpr int32_t MVERR_FIELDISBLANK              = 9740;  // 0x260C
inline constexpr int32_t MVERR_EXPRVALIDATIONFAILED      = 9751;  // 0x2617
inline constexpr int32_t MVERR_OUTOFRANGE                = 9985;  // 0x2701
inline constexpr int32_t MVERR_INVALIDPARAM              = 9986;  // 0x2702
inline constexpr int32_t MVERR_INVALIDHNDL               = 9990;  // 0x2706
inline constexpr int32_t MVERR_CANNOTOPENFILE            = 9992;  // 0x2708
inline constexpr int32_t MVERR_INVALIDMODIFYREQUEST      = 9996;  // 0x270C
inline constexpr int32_t MVERR_NOSUCHINDEX               = 9997;  // 0x270D
inline constexpr int32_t MVERR_INVALIDBLOBOFFSET         = 9998;  // 0x270E
inline constexpr int32_t MVERR_INVALIDDESCNO             = 9999;  // 0x270F
inline constexpr int32_t MVERR_INVALIDFLDTYPE            = 10000;  // 0x2710
inline constexpr int32_t MVERR_INVALIDFLDDESC            = 10001;  // 0x2711
inline constexpr int32_t MVERR_INVALIDFLDXFORM           = 10002;  // 0x2712
inline constexpr int32_t MVERR_INVALIDRECSTRUCT          = 10003;  // 0x2713
inline constexpr int32_t MVERR_INVALIDDESC               = 10004;  // 0x2714
inline constexpr int32_t MVERR_INVALIDINDEXSTRUCT        = 10005;  // 0x2715
inline constexpr int32_t MVERR_NAMENOTUNIQUE             = 10009;  // 0x2719
inline constexpr int32_t MVERR_UNKNOWNDB                 = 10014;  // 0x271E
inline constexpr int32_t MVERR_INVALIDPASSWORD           = 10015;  // 0x271F
inline constexpr int32_t MVERR_ALIASDIRNOTFOUND          = 10018;  // 0x2722
inline constexpr int32_t MVERR_TRANSLATEOUTOFBOUNDS      = 10019;  // 0x2723
inline constexpr int32_t MVERR_DIFFERENTTABLES           = 10020;  // 0x2724
inline constexpr int32_t MVERR_BOOKMARKSMISMATCH         = 10021;  // 0x2725
inline constexpr int32_t MVERR_INVALIDINDEXNAME          = 10022;  // 0x2726
inline constexpr int32_t MVERR_INVALIDINDEXDESC          = 10023;  // 0x2727
inline constexpr int32_t MVERR_NOSUCHTABLE               = 10024;  // 0x2728
inline constexpr int32_t MVERR_INDEXEXISTS               = 10027;  // 0x272B
inline constexpr int32_t MVERR_INVALIDBLOBLEN            = 10029;  // 0x272D
inline constexpr int32_t MVERR_INVALIDBLOBHANDLE         = 10030;  // 0x272E
inline constexpr int32_t MVERR_TABLEOPEN                 = 10031;  // 0x272F
inline constexpr int32_t MVERR_INVALIDUSERPASSWORD       = 10036;  // 0x2734
inline constexpr int32_t MVERR_INVALIDFIELDNAME          = 10038;  // 0x2736
inline constexpr int32_t MVERR_INVALIDTABLENAME          = 10039;  // 0x2737
inline constexpr int32_t MVERR_INVALIDFILEEXTN           = 10042;  // 0x273A
inline constexpr int32_t MVERR_INVALIDLANGDRV            = 10043;  // 0x273B
inline constexpr int32_t MVERR_INVALIDFILTERHANDLE       = 10050;  // 0x2742
inline constexpr int32_t MVERR_INVALIDFILTER             = 10051;  // 0x2743
inline constexpr int32_t MVERR_INVALIDALIASNAME          = 10067;  // 0x2753
inline constexpr int32_t MVERR_INVALIDNAME               = 10068;  // 0x2754
inline constexpr int32_t MVERR_RECLOCKED                 = 10241;  // 0x2801
inline constexpr int32_t MVERR_FILELOCKED                = 10245;  // 0x2805
inline constexpr int32_t MVERR_LOCKTIMEOUT               = 10249;  // 0x2809
inline constexpr int32_t MVERR_NEEDEXCLACCESS            = 10253;  // 0x280D
inline constexpr int32_t MVERR_SESSIONLOCKCONFLICT       = 10254;  // 0x280E
inline constexpr int32_t MVERR_DEADLOCK                  = 10255;  // 0x280F
inline constexpr int32_t MVERR_ACTIVETRAN                = 10256;  // 0x2810
inline constexpr int32_t MVERR_NOACTIVETRAN              = 10257;  // 0x2811
inline constexpr int32_t MVERR_RECLOCKFAILED             = 10258;  // 0x2812
inline constexpr int32_t MVERR_RECCHANGEDBYOTHER         = 10259;  // 0x2813
inline constexpr int32_t MVERR_RECDELETEDBYOTHER         = 10260;  // 0x2814
inline constexpr int32_t MVERR_NOTSUFFTABLERIGHTS        = 10498;  // 0x2902
inline constexpr int32_t MVERR_DBREADONLY                = 10501;  // 0x2905
inline constexpr int32_t MVERR_READONLYFLD               = 10502;  // 0x2906
inline constexpr int32_t MVERR_ENCRYPTEDNOTSUPPORTED     = 10503;  // 0x2907
inline constexpr int32_t MVERR_NOTABLOB                  = 10753;  // 0x2A01
inline constexpr int32_t MVERR_NOTAPPLICABLE             = 10756;  // 0x2A04
inline constexpr int32_t MVERR_TABLENOTINDEXED           = 10757;  // 0x2A05
inline constexpr int32_t MVERR_DIFFERENTSESSIONS         = 10760;  // 0x2A08
inline constexpr int32_t MVERR_TABLEREADONLY             = 10763;  // 0x2A0B
inline constexpr int32_t MVERR_NOASSOCINDEX              = 10764;  // 0x2A0C
inline constexpr int32_t MVERR_OSUNKNOWN                 = 11047;  // 0x2B27
inline constexpr int32_t MVERR_NOSERVERENGINE            = 11114;  // 0x2B6A
inline constexpr int32_t MVERR_LOSTCONNECTION            = 11276;  // 0x2C0C
inline constexpr int32_t MVERR_SERVERNOTFOUND            = 11278;  // 0x2C0E
inline constexpr int32_t MVERR_BLOBGENERAL               = 11896;  // 0x2E78
inline constexpr int32_t MVERR_INCOMPATIBLEVERSION       = 12039;  // 0x2F07
inline constexpr int32_t MVERR_HIGHERTABLELEVEL          = 12040;  // 0x2F08
inline constexpr int32_t MVERR_NOTSUPPORTED              = 12289;  // 0x3001
inline constexpr int32_t MVERR_BLOBMODIFIED              = 13058;  // 0x3302
inline constexpr int32_t MVERR_TABLEEXISTS               = 13060;  // 0x3304
inline constexpr int32_t MVERR_UPDATEABORTED             = 13062;  // 0x3306
inline constexpr int32_t MVERR_FILEINVALIDDATA           = 15360;  // 0x3C00
inline constexpr int32_t MVERR_FILECLOSE                 = 15363;  // 0x3C03
inline constexpr int32_t MVERR_FILECOPY                  = 15392;  // 0x3C20
inline constexpr int32_t MVERR_FILEDELETE                = 15393;  // 0x3C21
inline constexpr int32_t MVERR_FILERENAME                = 15394;  // 0x3C22
inline constexpr int32_t MVERR_INVALIDBLOCKNR            = 15409;  // 0x3C31
inline constexpr int32_t MVERR_INVALIDREFNR              = 15412;  // 0x3C34
inline constexpr int32_t MVERR_NOTADATABLOCK             = 15413;  // 0x3C35
inline constexpr int32_t MVERR_NOHEADERACCESSFACTORIES   = 15414;  // 0x3C36
inline constexpr int32_t MVERR_NEWERTABLEVERSION         = 15415;  // 0x3C37
inline constexpr int32_t MVERR_NOTAHEAPBLOCK             = 15416;  // 0x3C38
inline constexpr int32_t MVERR_NOTASTREAMBLOCK           = 15421;  // 0x3C3D
inline constexpr int32_t MVERR_NOTANINDEXBLOCK           = 15424;  // 0x3C40
inline constexpr int32_t MVERR_INDEXNROUTOFRANGE         = 15425;  // 0x3C41
inline constexpr int32_t MVERR_FILEBLOBOPEN              = 15440;  // 0x3C50
inline constexpr int32_t MVERR_FILEBLOBREAD              = 15441;  // 0x3C51
inline constexpr int32_t MVERR_FILEBLOBCLOSE             = 15442;  // 0x3C52
inline constexpr int32_t MVERR_TRANSACTIONCORRUPT        = 15443;  // 0x3C53
inline constexpr int32_t MVERR_FILTERTIMEOUT             = 15444;  // 0x3C54
inline constexpr int32_t MVERR_OPERATIONTIMEOUT          = 15461;  // 0x3C65
inline constexpr int32_t MVERR_NOTCONNECTED              = 15465;  // 0x3C69
inline constexpr int32_t MVERR_INCOMPATIBLEDICTIONARIES  = 15488;  // 0x3C80
inline constexpr int32_t MVERR_SAMETABLE                 = 15489;  // 0x3C81
inline constexpr int32_t MVERR_BLOBTOOLARGE              = 15490;  // 0x3C82
inline constexpr int32_t MVERR_SUBENGINEINCOMPATIBLE     = 15491;  // 0x3C83
inline constexpr int32_t MVERR_INVALIDSEGMENTNR          = 15492;  // 0x3C84
inline constexpr int32_t MVERR_SEGMENTDELETED            = 15493;  // 0x3C85
inline constexpr int32_t MVERR_MAXKEYSIZE                = 15494;  // 0x3C86
inline constexpr int32_t MVERR_MAXRECORDSIZE             = 15495;  // 0x3C87
inline constexpr int32_t MVERR_TEMPSTORAGEINVALIDBLOCK   = 15496;  // 0x3C88
inline constexpr int32_t MVERR_TEMPSTORAGEFULL           = 15497;  // 0x3C89
inline constexpr int32_t MVERR_INCOMPATIBLESTREAM        = 15498;  // 0x3C8A
inline constexpr int32_t MVERR_UNSUPPORTEDDESCRIPTOR     = 15499;  // 0x3C8B
inline constexpr int32_t MVERR_DICTIONARYREADONLY        = 15500;  // 0x3C8C
inline constexpr int32_t MVERR_DUPLICATEAUTOINC          = 15501;  // 0x3C8D
inline constexpr int32_t MVERR_OBJECTINUSE               = 15502;  // 0x3C8E
inline constexpr int32_t MVERR_UNSUPPORTEDSUBENGINE      = 15503;  // 0x3C8F
inline constexpr int32_t MVERR_UNSUPPORTEDHEADERACCESS   = 15504;  // 0x3C90
inline constexpr int32_t MVERR_NOSERVERNAME              = 15505;  // 0x3C91
inline constexpr int32_t MVERR_DUPLICATERECREV           = 15506;  // 0x3C92
inline constexpr int32_t MVERR_SIGNAL                    = 15507;  // 0x3C93
inline constexpr int32_t MVERR_SAMEFOLDER                = 15508;  // 0x3C94
inline constexpr int32_t MVERR_RECOVERYFAILED            = 15509;  // 0x3C95
inline constexpr int32_t MVERR_INDEXNOTEMPTY             = 15511;  // 0x3C97
inline constexpr int32_t MVERR_DUPLICATEREFNR            = 15512;  // 0x3C98
inline constexpr int32_t MVERR_DUPLICATELSN              = 15513;  // 0x3C99
inline constexpr int32_t MVERR_UNEXPECTEDEXCEPTION       = 15521;  // 0x3CA1
inline constexpr int32_t MVERR_UNRECOGNIZEDMESSAGE       = 15522;  // 0x3CA2
inline constexpr int32_t MVERR_NOMESSAGEQUEUED           = 15536;  // 0x3CB0

// Composed codes: MVERR_CACHEINVALID_BASE | n stands for 0x2200 | n reported
// with an invalid record cache (8944..8959).
inline constexpr int32_t MVERR_CACHEINVALID_BASE = 0x22F0;
inline constexpr int32_t MVERR_CACHEINVALID_MASK = 0xF0;

// The code under which an engine exception created without a code is
// converted for a caller. It has no row of its own.
inline constexpr int32_t MVERR_EXCEPTIONWITHOUTCODE = 15520;  // 0x3CA0

// ---------------------------------------------------------------------------
// Categories (the value of mvHiByte)

inline constexpr uint8_t MVERRCAT_SYSTEM = 0x21;
inline constexpr uint8_t MVERRCAT_NOTFOUND = 0x22;
inline constexpr uint8_t MVERRCAT_DATACORRUPT = 0x23;
inline constexpr uint8_t MVERRCAT_IO = 0x24;
inline constexpr uint8_t MVERRCAT_LIMIT = 0x25;
inline constexpr uint8_t MVERRCAT_INTEGRITY = 0x26;
inline constexpr uint8_t MVERRCAT_INVALIDREQ = 0x27;
inline constexpr uint8_t MVERRCAT_LOCKCONFLICT = 0x28;  // callers let lock failures through by this
inline constexpr uint8_t MVERRCAT_SECURITY = 0x29;
inline constexpr uint8_t MVERRCAT_INVALIDCONTEXT = 0x2A;
inline constexpr uint8_t MVERRCAT_OS = 0x2B;
inline constexpr uint8_t MVERRCAT_NETWORK = 0x2C;
inline constexpr uint8_t MVERRCAT_BLOB = 0x2E;
inline constexpr uint8_t MVERRCAT_COMPATIBILITY = 0x2F;
inline constexpr uint8_t MVERRCAT_CAPABILITY = 0x30;
inline constexpr uint8_t MVERRCAT_OTHER = 0x33;

// ---------------------------------------------------------------------------
// Lookups

// The message text of any 32-bit value; never fails. A code without a row
// gives SUnknownErrorCode; a composed code gives "Cache is invalid: " and the
// text of its base code.
String mvGetErrorString(int32_t aErrorCode);

// The category of a code: its bits 8 to 15.
inline constexpr uint8_t mvHiByte(int32_t aErrorCode) {
  return static_cast<uint8_t>((static_cast<uint32_t>(aErrorCode) >> 8) & 0xFF);
}

// The text of a code without a row.
inline constexpr char16_t SUnknownErrorCode[] = u"Unknown (server exception object has unknown error code)";
