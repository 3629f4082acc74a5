// The Sync Manager (libsync20.so, loaded as "SYNC20.dll"): what a conduit
// calls to read and change the databases of the handheld.
//
//   BYTE db = 0;
//   if (SyncOpenDB("MemoDB", 0, &db, eDbRead | eDbWrite | eDbShowSecret) == SYNCERR_NOT_FOUND) ...
//   CRawRecordInfo info{};  info.m_FileHandle = db;  info.m_pBytes = buf;  info.m_TotalBytes = 65534;
//   while ((info.m_RecIndex = n++, SyncReadRecordByIndex(&info)) == 0) use(info);
//   SyncCloseDB(db);
//
// The handheld is a folder of Palm database files: the folder given to
// SyncSetHandheldFolder, else $GWSYNC_HANDHELD. Every call that changes a
// database is on disk when it returns (see hotsync/store/store.h), and the
// folder is locked against other processes while a database is open.
// Records written here keep exactly the attributes the caller gives: a
// conduit's writes are not dirty unless it says so.
//
// Every function returns 0 on success or one of the SYNCERR_ codes below;
// SYNCERR_NOT_FOUND (0x4003) also ends every reading loop. After a failure
// SyncGetLastProblem() tells what went wrong in words. The argument records
// keep the field order and widths of the records conduits were written
// against, naturally aligned; their sizes differ, so never count on them.
// Functions are also importable by ordinal (22 to 42, see the table in
// sync20.cpp). Single-threaded, as the HotSync run that calls them.
#pragma once

#include "platform/wintypes.h"

#define SYNC_API extern "C" __attribute__((visibility("default")))

typedef DWORD CONDHANDLE;

// Results.
#define SYNCERR_NONE 0x0000L
#define SYNCERR_UNKNOWN 0x4001L
#define SYNCERR_NOT_FOUND 0x4003L         // no such database, record, block or preference; end of a loop
#define SYNCERR_BAD_ARG 0x4010L           // a null pointer, bad name, category or size
#define SYNCERR_BAD_HANDLE 0x4011L        // not an open database handle
#define SYNCERR_BUFFER_TOO_SMALL 0x4012L  // the caller's buffer cannot hold the data (size needed given back)
#define SYNCERR_READ_ONLY 0x4013L         // a change through a handle opened without eDbWrite
#define SYNCERR_EXISTS 0x4014L            // SyncCreateDB: a database of that name exists
#define SYNCERR_BAD_FILE 0x4015L          // the database file is damaged; it is left as it is
#define SYNCERR_IO 0x4016L                // a file could not be read or written
#define SYNCERR_BUSY 0x4017L              // another process is working on the handheld folder
#define SYNCERR_TOO_MANY_OPEN 0x4018L     // no free database handle
#define SYNCERR_NO_HANDHELD 0x4019L       // no handheld folder chosen
#define SYNCERR_NOT_SUPPORTED 0x401AL     // no application or action for a remote call
#define SYNCERR_ALREADY_OPEN 0x401BL      // the database is open through another handle
#define SYNCERR_ALREADY_REGISTERED 0x401CL
#define SYNCERR_DB_FULL \
  0x401DL  // SyncWriteRec of a new record: the database holds 65,535, the most
           // its 16-bit count allows; nothing was written

// Open modes.
#define eDbShowSecret 0x10
#define eDbExclusive 0x20
#define eDbWrite 0x40
#define eDbRead 0x80

// Record attributes as the Sync Manager passes them (the category travels
// separately in m_CatId).
#define eRecAttrArchived 0x08
#define eRecAttrSecret 0x10
#define eRecAttrBusy 0x20
#define eRecAttrDirty 0x40
#define eRecAttrDeleted 0x80

// SyncCreateDB flags: low 16 bits become the database header attributes.
#define eDbResourceDB 0x0001

// The launch code that makes an application initialise a new database.
#define sysAppLaunchCmdInitDatabase 11

// Natural alignment, not byte packing: the fields keep their order and
// widths, and callers can take references to them (a packed 32-bit field at
// an odd address is undefined behaviour in C++).

// One record, in and out of the record calls.
struct CRawRecordInfo {
  BYTE m_FileHandle;
  DWORD m_RecId;  // 0 in SyncWriteRec makes a new record; its id comes back here
  WORD m_RecIndex;
  BYTE m_Attribs;  // eRecAttr... bits
  short m_CatId;   // category index 0..15
  LONG m_ConduitId;
  DWORD m_RecSize;    // bytes of data (out on reads, in on writes)
  WORD m_TotalBytes;  // size of the caller's buffer (reads)
  BYTE* m_pBytes;     // the caller's buffer; the caller owns it
  DWORD m_dwReserved;
};

// SyncCreateDB: the new database's handle comes back in m_FileHandle.
struct CDbCreateDB {
  BYTE m_FileHandle;
  DWORD m_Creator;
  DWORD m_Flags;
  BYTE m_CardNo;
  char m_Name[32];
  DWORD m_Type;
  WORD m_Version;
  DWORD m_dwReserved;
};

// The app-info block: reads fill m_pBytes (room m_TotalBytes) and set
// m_BytesRead; writes store m_BytesRead bytes from m_pBytes.
struct CDbGenInfo {
  char m_FileName[32];
  WORD m_TotalBytes;
  WORD m_BytesRead;
  BYTE* m_pBytes;
  DWORD m_dwReserved;
};

// SyncCallRemoteModule: runs a handheld application with a launch code.
struct CCallModuleParams {
  DWORD m_dwCreatorID;
  DWORD m_dwTypeID;     // 'appl'
  WORD m_wActionCode;   // sysAppLaunchCmdInitDatabase
  DWORD m_dwParamSize;  // 16
  void* m_pParam;       // CInitDatabaseParam
  DWORD m_dwResultBufSize;
  void* m_pResultBuf;
  DWORD m_dwResultCode;     // out: 0 when the application did its work
  DWORD m_dwActResultSize;  // out
  DWORD m_dwReserved;
};

// The parameter of the init-database launch code.
struct CInitDatabaseParam {
  BYTE m_FileHandle;
  BYTE m_Pad[3];
  DWORD m_Creator;
  DWORD m_Type;
  WORD m_Version;
  WORD m_Pad2;
};

// SyncReadAppPreference: one application preference. m_bBackedUp non-zero
// reads "Saved Preferences", else "Unsaved Preferences". The preference's
// version comes back in m_version and the bytes after it in m_pBuffer.
struct CRawPreferenceInfo {
  WORD m_version;  // out
  DWORD m_Creator;
  WORD m_PrefId;
  WORD m_ReqBytes;  // at most this many bytes are returned
  WORD m_RetBytes;  // out: bytes placed in m_pBuffer
  WORD m_ActSize;   // out: size of the whole preference (without its version)
  DWORD m_bBackedUp;
  LONG m_nBufSize;
  BYTE* m_pBuffer;
  DWORD m_dwReserved;
};

// ---- The stand-in's own calls ----

// Chooses the handheld folder for this process (null: back to
// $GWSYNC_HANDHELD). The text is copied. SYNCERR_BUSY while a database is open.
SYNC_API LONG SyncSetHandheldFolder(const char* folder);

// The words of the last failure of this library (static storage, replaced
// by the next failure); empty when nothing failed yet.
SYNC_API const char* SyncGetLastProblem();

// Has the disk keep every change made so far to the open databases, so that
// a power loss cannot take them back. A change is safe from the process
// being killed once its call returns, but the disk is asked to keep it only
// here and when its database is closed, since waiting for the disk costs far
// more than the write. A conduit calls this before it tells the server of
// handheld records it wrote, so that the server never pairs a record the
// handheld could lose.
SYNC_API LONG SyncFlushDBs();

// How many times this process has waited for the disk: for tests and
// benchmarks.
SYNC_API DWORD SyncGetDiskFlushCount();

// How many calls the conduits of this process made, and how many records
// they were handed (a record read twice counts twice), since it started:
// for the run's report.
SYNC_API void SyncGetCallCounts(DWORD* calls, DWORD* recordsRead);

// ---- Conduit session ----

// Gives a handle for the run. SYNCERR_ALREADY_REGISTERED when a conduit is
// registered already.
SYNC_API LONG SyncRegisterConduit(CONDHANDLE* handle);
// Ends the run and closes every database still open.
SYNC_API LONG SyncUnRegisterConduit(CONDHANDLE handle);

// ---- Databases ----

// Opens a database by name on card 0 with eDb... mode bits. SYNCERR_NOT_FOUND
// when it does not exist; a damaged file answers SYNCERR_BAD_FILE (never
// not-found, so no caller creates a new database over it).
SYNC_API LONG SyncOpenDB(const char* name, int cardNo, BYTE* handle, BYTE mode);
// Creates and opens a new database; SYNCERR_EXISTS when the name is taken.
SYNC_API LONG SyncCreateDB(CDbCreateDB* create);
// Closes a handle; the database file is written whole.
SYNC_API LONG SyncCloseDB(BYTE handle);
// Number of records, deleted and archived ones included.
SYNC_API LONG SyncGetDBRecordCount(BYTE handle, WORD* count);

// ---- Reading records ----
// Each read fills id, index, attributes, category, size and data. A record
// larger than m_TotalBytes gives SYNCERR_BUFFER_TOO_SMALL with m_RecSize set.

// By position: live records first, then deleted and archived ones.
SYNC_API LONG SyncReadRecordByIndex(CRawRecordInfo* info);
SYNC_API LONG SyncReadRecordById(CRawRecordInfo* info);
// The next dirty record (deleted ones included) after the database's record
// index; SyncResetRecordIndex starts over.
SYNC_API LONG SyncReadNextModifiedRec(CRawRecordInfo* info);
SYNC_API LONG SyncResetRecordIndex(BYTE handle);
// The next live record of category m_CatId after the record index.
SYNC_API LONG SyncReadNextRecInCategory(CRawRecordInfo* info);

// ---- Changing records ----

SYNC_API LONG SyncWriteRec(CRawRecordInfo* info);
// Removes the record m_RecId altogether; SYNCERR_NOT_FOUND when it is gone.
SYNC_API LONG SyncDeleteRec(CRawRecordInfo* info);
SYNC_API LONG SyncPurgeAllRecs(BYTE handle);
SYNC_API LONG SyncPurgeAllRecsInCategory(BYTE handle, short category);
// Clears the dirty attribute of every record.
SYNC_API LONG SyncResetSyncFlags(BYTE handle);
// Removes deleted and archived records.
SYNC_API LONG SyncPurgeDeletedRecs(BYTE handle);

// ---- App-info block, preferences, log, applications ----

// SYNCERR_NOT_FOUND when the database has no app-info block.
SYNC_API LONG SyncReadDBAppInfoBlock(BYTE handle, CDbGenInfo* info);
SYNC_API LONG SyncWriteDBAppInfoBlock(BYTE handle, CDbGenInfo* info);
SYNC_API LONG SyncReadAppPreference(CRawPreferenceInfo* info);
// Appends one entry (a line) to the handheld's sync log, "synclog.txt" in
// the handheld folder.
SYNC_API LONG SyncAddLogEntry(const char* text);
// Action sysAppLaunchCmdInitDatabase on type 'appl': the application of that
// creator ('addr', 'memo', 'mail', 'todo', 'date') gives the open database
// named in the parameter its initial app-info block (categories). Any other
// application or action: SYNCERR_NOT_SUPPORTED.
SYNC_API LONG SyncCallRemoteModule(CCallModuleParams* params);
