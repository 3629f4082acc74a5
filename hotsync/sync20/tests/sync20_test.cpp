// The Sync Manager over a handheld folder: every operation, its results and
// its errors, the reading loops, categories and purges, as a conduit uses
// them; and the ordinal table a conduit imports from.
#include "hotsync/sync20/sync20.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "hotsync/pdb/pdb.h"
#include "hotsync/store/store.h"
#include "platform/module.h"
#include "testutil/files.h"
#include "testutil/syncrecords.h"

namespace {

using palm::fourCC;
using testutil::readFile;

DWORD code(const char* s) {
  return (DWORD(BYTE(s[0])) << 24) | (DWORD(BYTE(s[1])) << 16) | (DWORD(BYTE(s[2])) << 8) | BYTE(s[3]);
}

constexpr BYTE kAppMode = eDbRead | eDbWrite | eDbShowSecret;

struct Read {
  LONG result;
  DWORD id;
  WORD index;
  BYTE attributes;
  short category;
  std::string data;
};

class SyncManager : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SyncSetHandheldFolder(dir_.path().c_str()), 0); }
  void TearDown() override {
    for (BYTE h = 1; h <= 32; ++h) SyncCloseDB(h);
    SyncSetHandheldFolder(nullptr);
  }

  BYTE create(const char* name, const char* creator = "memo") {
    CDbCreateDB c{};
    c.m_Creator = code(creator);
    c.m_Type = fourCC("DATA");
    std::strncpy(c.m_Name, name, sizeof c.m_Name - 1);
    EXPECT_EQ(SyncCreateDB(&c), 0) << SyncGetLastProblem();
    return c.m_FileHandle;
  }

  DWORD write(BYTE h, const std::string& data, BYTE attributes = 0, short category = 0, DWORD id = 0) {
    return testutil::writeRecord(h, data, attributes, category, id);
  }

  template <typename Call>
  Read read(BYTE h, Call call, DWORD id = 0, WORD index = 0, short category = 0) {
    CRawRecordInfo info{};
    info.m_FileHandle = h;
    info.m_RecId = id;
    info.m_RecIndex = index;
    info.m_CatId = category;
    info.m_TotalBytes = sizeof buffer_;
    info.m_pBytes = buffer_;
    Read r{call(&info), info.m_RecId, info.m_RecIndex, info.m_Attribs, info.m_CatId, {}};
    if (r.result == 0) r.data.assign(reinterpret_cast<char*>(buffer_), info.m_RecSize);
    return r;
  }

  // Runs a reading loop to its end and gives the data of each record.
  template <typename Call>
  std::vector<std::string> loop(BYTE h, Call call, short category = 0) {
    std::vector<std::string> seen;
    for (int guard = 0; guard < 1000; ++guard) {
      Read r = read(h, call, 0, static_cast<WORD>(guard), category);
      if (r.result == SYNCERR_NOT_FOUND) return seen;
      EXPECT_EQ(r.result, 0);
      seen.push_back(r.data);
    }
    ADD_FAILURE() << "the loop never ended";
    return seen;
  }

  std::string appInfo(BYTE h, LONG* result = nullptr) {
    BYTE block[4096];
    CDbGenInfo info{};
    info.m_TotalBytes = sizeof block;
    info.m_pBytes = block;
    LONG r = SyncReadDBAppInfoBlock(h, &info);
    if (result) *result = r;
    return r == 0 ? std::string(reinterpret_cast<char*>(block), info.m_BytesRead) : std::string();
  }

  LONG initialise(BYTE h, const char* creator) {
    CInitDatabaseParam param{};
    param.m_FileHandle = h;
    param.m_Creator = code(creator);
    param.m_Type = fourCC("DATA");
    CCallModuleParams call{};
    call.m_dwCreatorID = param.m_Creator;
    call.m_dwTypeID = fourCC("appl");
    call.m_wActionCode = sysAppLaunchCmdInitDatabase;
    call.m_dwParamSize = 16;
    call.m_pParam = &param;
    return SyncCallRemoteModule(&call);
  }

  testutil::TempDir dir_{"sync20"};
  BYTE buffer_[65534];
};

TEST_F(SyncManager, OpeningAMissingDatabaseAnswersNotFoundAndCreateMakesIt) {
  BYTE h = 0;
  EXPECT_EQ(SyncOpenDB("MemoDB", 0, &h, kAppMode), SYNCERR_NOT_FOUND);
  h = create("MemoDB");
  EXPECT_NE(h, 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(SyncCloseDB(h), SYNCERR_BAD_HANDLE);
  EXPECT_EQ(SyncOpenDB("MemoDB", 0, &h, kAppMode), 0);
  EXPECT_EQ(SyncOpenDB("MemoDB", 0, &h, kAppMode), SYNCERR_ALREADY_OPEN);
  EXPECT_EQ(SyncOpenDB("MemoDB", 1, &h, kAppMode), SYNCERR_NOT_FOUND);  // card 0 only
  CDbCreateDB again{};
  std::strcpy(again.m_Name, "MemoDB");
  EXPECT_EQ(SyncCreateDB(&again), SYNCERR_EXISTS);
  palm::Database file;
  ASSERT_TRUE(palm::readDatabaseFile((dir_ / "MemoDB.pdb").string(), file));
  EXPECT_EQ(palm::fourCCText(file.creator), "memo");
  EXPECT_EQ(palm::fourCCText(file.type), "DATA");
}

TEST_F(SyncManager, ADamagedFileIsNeitherNotFoundNorReplaced) {
  const std::string junk = "this is no Palm database, but it is somebody's file";
  std::ofstream(dir_ / "AddressDB.pdb", std::ios::binary) << junk;
  BYTE h = 0;
  EXPECT_EQ(SyncOpenDB("AddressDB", 0, &h, kAppMode), SYNCERR_BAD_FILE);
  EXPECT_NE(std::string(SyncGetLastProblem()).find("AddressDB.pdb"), std::string::npos);
  CDbCreateDB c{};
  std::strcpy(c.m_Name, "AddressDB");
  c.m_Creator = fourCC("addr");
  EXPECT_EQ(SyncCreateDB(&c), SYNCERR_EXISTS);
  EXPECT_EQ(readFile(dir_ / "AddressDB.pdb"), junk);
}

TEST_F(SyncManager, TheRecordAfterTheLastA16BitCountHoldsIsRefusedAsFull) {
  palm::Database full;
  full.name = "MemoDB";
  full.type = fourCC("DATA");
  full.creator = code("memo");
  full.appInfo = palm::defaultAppInfo(full.creator);
  for (uint32_t i = 1; i <= palm::kMaxEntries; ++i) {
    palm::Record r;
    r.uniqueId = i;
    r.data = "m";
    full.records.push_back(r);
  }
  const std::string path = (dir_ / "MemoDB.pdb").string();
  ASSERT_TRUE(palm::writeDatabaseFile(path, full));
  const std::string before = testutil::readFile(path);
  BYTE h = 0;
  ASSERT_EQ(SyncOpenDB("MemoDB", 0, &h, eDbRead | eDbWrite), 0) << SyncGetLastProblem();
  WORD count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 65535);
  CRawRecordInfo info{};
  info.m_FileHandle = h;
  info.m_RecSize = 3;
  info.m_pBytes = reinterpret_cast<BYTE*>(const_cast<char*>("new"));
  EXPECT_EQ(SyncWriteRec(&info), SYNCERR_DB_FULL);
  EXPECT_EQ(info.m_RecId, 0u);
  EXPECT_NE(std::string(SyncGetLastProblem()).find("65535 records"), std::string::npos) << SyncGetLastProblem();
  ASSERT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(testutil::readFile(path), before);
}

TEST_F(SyncManager, WrittenRecordsGetIdsAndKeepTheAttributesGiven) {
  BYTE h = create("MemoDB");
  DWORD plain = write(h, "plain");
  DWORD dirty = write(h, "dirty", eRecAttrDirty | eRecAttrSecret, 3);
  EXPECT_NE(plain, 0u);
  EXPECT_NE(dirty, plain);
  Read r = read(h, SyncReadRecordById, plain);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.attributes, 0);  // a conduit's write is not dirty
  EXPECT_EQ(r.data, "plain");
  r = read(h, SyncReadRecordById, dirty);
  EXPECT_EQ(r.attributes, eRecAttrDirty | eRecAttrSecret);
  EXPECT_EQ(r.category, 3);
  // Rewriting under the id replaces data, category and attributes.
  EXPECT_EQ(write(h, "moved", 0, 4, dirty), dirty);
  r = read(h, SyncReadRecordById, dirty);
  EXPECT_EQ(r.data, "moved");
  EXPECT_EQ(r.category, 4);
  EXPECT_EQ(r.attributes, 0);
  EXPECT_EQ(read(h, SyncReadRecordById, 0xABCDE).result, SYNCERR_NOT_FOUND);
  WORD count = 0;
  EXPECT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 2);
}

TEST_F(SyncManager, ReadingByIndexEndsWithNotFoundAndShowsDeletedRecordsLast) {
  BYTE h = create("MemoDB");
  write(h, "one");
  DWORD gone = write(h, "two");
  write(h, "three");
  write(h, "", eRecAttrDeleted | eRecAttrDirty, 0, gone);
  write(h, "kept", eRecAttrArchived, 2);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), (std::vector<std::string>{"one", "three", "", "kept"}));
  Read deleted = read(h, SyncReadRecordByIndex, 0, 2);
  EXPECT_EQ(deleted.id, gone);
  EXPECT_EQ(deleted.attributes, eRecAttrDeleted | eRecAttrDirty);
  EXPECT_EQ(read(h, SyncReadRecordByIndex, 0, 3).attributes, eRecAttrArchived);
  EXPECT_EQ(read(h, SyncReadRecordByIndex, 0, 4).result, SYNCERR_NOT_FOUND);
}

TEST_F(SyncManager, ModifiedReadsReturnDirtyRecordsDeletedIncludedUntilReset) {
  BYTE h = create("MemoDB");
  write(h, "clean");
  write(h, "changed", eRecAttrDirty, 1);
  DWORD gone = write(h, "deleted later", eRecAttrDirty);
  write(h, "", eRecAttrDeleted | eRecAttrDirty, 0, gone);
  EXPECT_EQ(loop(h, SyncReadNextModifiedRec), (std::vector<std::string>{"changed", ""}));
  EXPECT_EQ(loop(h, SyncReadNextModifiedRec), std::vector<std::string>{});  // stays at the end
  EXPECT_EQ(SyncResetRecordIndex(h), 0);
  Read first = read(h, SyncReadNextModifiedRec);
  EXPECT_EQ(first.data, "changed");
  EXPECT_EQ(first.category, 1);
  EXPECT_EQ(SyncResetSyncFlags(h), 0);
  EXPECT_EQ(SyncResetRecordIndex(h), 0);
  EXPECT_EQ(loop(h, SyncReadNextModifiedRec), std::vector<std::string>{});
}

TEST_F(SyncManager, InCategoryReadsFollowTheRecordIndex) {
  BYTE h = create("MailDB", "mail");
  write(h, "inbox");
  write(h, "out 1", 0, 1);
  write(h, "out 2", eRecAttrDirty, 1);
  write(h, "archived out", eRecAttrArchived, 1);
  EXPECT_EQ(loop(h, SyncReadNextRecInCategory, 1), (std::vector<std::string>{"out 1", "out 2"}));
  EXPECT_EQ(loop(h, SyncReadNextRecInCategory, 1), std::vector<std::string>{});
  SyncResetRecordIndex(h);
  EXPECT_EQ(loop(h, SyncReadNextRecInCategory, 0), std::vector<std::string>{"inbox"});
  SyncResetRecordIndex(h);
  EXPECT_EQ(loop(h, SyncReadNextRecInCategory, 7), std::vector<std::string>{});
  EXPECT_EQ(read(h, SyncReadNextRecInCategory, 0, 0, 16).result, SYNCERR_BAD_ARG);
}

TEST_F(SyncManager, DeletePurgeAndPurgeByCategory) {
  BYTE h = create("MemoDB");
  DWORD a = write(h, "a");
  write(h, "b", 0, 2);
  write(h, "c", 0, 2);
  DWORD d = write(h, "d");
  DWORD e = write(h, "e");
  write(h, "", eRecAttrDeleted | eRecAttrDirty, 0, d);
  write(h, "e", eRecAttrArchived | eRecAttrDirty, 0, e);
  CRawRecordInfo del{};
  del.m_FileHandle = h;
  del.m_RecId = a;
  EXPECT_EQ(SyncDeleteRec(&del), 0);
  EXPECT_EQ(SyncDeleteRec(&del), SYNCERR_NOT_FOUND);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), (std::vector<std::string>{"b", "c", "", "e"}));
  EXPECT_EQ(SyncPurgeDeletedRecs(h), 0);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), (std::vector<std::string>{"b", "c"}));
  write(h, "f");
  EXPECT_EQ(SyncPurgeAllRecsInCategory(h, 2), 0);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), std::vector<std::string>{"f"});
  EXPECT_EQ(SyncPurgeAllRecsInCategory(h, -1), SYNCERR_BAD_ARG);
  EXPECT_EQ(SyncPurgeAllRecs(h), 0);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), std::vector<std::string>{});
}

TEST_F(SyncManager, InitialisingANewDatabaseGivesItsApplicationsCategories) {
  BYTE h = create("AddressDB", "addr");
  LONG result = 0;
  appInfo(h, &result);
  EXPECT_EQ(result, SYNCERR_NOT_FOUND);
  ASSERT_EQ(initialise(h, "addr"), 0) << SyncGetLastProblem();
  std::string block = appInfo(h);
  EXPECT_EQ(block, *palm::defaultAppInfo(fourCC("addr")));
  EXPECT_EQ(initialise(h, "memo"), SYNCERR_BAD_ARG);  // not that application's database
  EXPECT_EQ(initialise(h, "zzzz"), SYNCERR_NOT_SUPPORTED);
  CCallModuleParams other{};
  other.m_dwCreatorID = fourCC("addr");
  other.m_dwTypeID = fourCC("appl");
  other.m_wActionCode = 12;
  EXPECT_EQ(SyncCallRemoteModule(&other), SYNCERR_NOT_SUPPORTED);
}

TEST_F(SyncManager, AppInfoRoundTripKeepsBytesAfterTheCategories) {
  BYTE h = create("AddressDB", "addr");
  ASSERT_EQ(initialise(h, "addr"), 0);
  std::string block = appInfo(h);
  block[600] = '\x42';
  palm::CategoryBlock c;
  ASSERT_TRUE(palm::parseCategoryBlock(block, c));
  c.names[4] = "GWSync";
  c.ids[4] = 128;
  palm::storeCategoryBlock(c, block);
  ASSERT_NO_FATAL_FAILURE(testutil::writeAppInfo(h, block));
  ASSERT_EQ(SyncCloseDB(h), 0);
  ASSERT_EQ(SyncOpenDB("AddressDB", 0, &h, eDbRead), 0);
  EXPECT_EQ(appInfo(h), block);
  BYTE small[100];
  CDbGenInfo tooSmall{};
  tooSmall.m_TotalBytes = sizeof small;
  tooSmall.m_pBytes = small;
  EXPECT_EQ(SyncReadDBAppInfoBlock(h, &tooSmall), SYNCERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.m_BytesRead, 638);
}

TEST_F(SyncManager, ReadOnlyHandlesAndBadHandlesRefuseChanges) {
  BYTE h = create("MemoDB");
  write(h, "xy");
  SyncCloseDB(h);
  ASSERT_EQ(SyncOpenDB("MemoDB", 0, &h, eDbRead | eDbShowSecret), 0);
  CRawRecordInfo info{};
  info.m_FileHandle = h;
  EXPECT_EQ(SyncWriteRec(&info), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncPurgeAllRecs(h), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncResetSyncFlags(h), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncPurgeDeletedRecs(h), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncPurgeAllRecsInCategory(h, 0), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncDeleteRec(&info), SYNCERR_READ_ONLY);
  CDbGenInfo block{};
  EXPECT_EQ(SyncWriteDBAppInfoBlock(h, &block), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncWriteRec(nullptr), SYNCERR_BAD_ARG);
  EXPECT_EQ(SyncRegisterConduit(nullptr), SYNCERR_BAD_ARG);
  EXPECT_EQ(SyncPurgeAllRecs(77), SYNCERR_BAD_HANDLE);
  EXPECT_EQ(SyncResetRecordIndex(0), SYNCERR_BAD_HANDLE);
  WORD count = 0;
  EXPECT_EQ(SyncGetDBRecordCount(200, &count), SYNCERR_BAD_HANDLE);
  EXPECT_EQ(SyncGetDBRecordCount(h, nullptr), SYNCERR_BAD_ARG);
  BYTE tiny[1];
  CRawRecordInfo small{};
  small.m_FileHandle = h;
  small.m_TotalBytes = sizeof tiny;
  small.m_pBytes = tiny;
  EXPECT_EQ(SyncReadRecordByIndex(&small), SYNCERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.m_RecSize, 2u);  // the size a buffer needs
}

TEST_F(SyncManager, RecordsSurviveCloseAndReadBackFromTheFile) {
  BYTE h = create("MemoDB");
  DWORD a = write(h, std::string("\x93\xfa\x96\x7b\0", 5), eRecAttrDirty, 2);
  SyncCloseDB(h);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "MemoDB.pdb.journal"));
  palm::Database file;
  ASSERT_TRUE(palm::readDatabaseFile((dir_ / "MemoDB.pdb").string(), file));
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].uniqueId, a);
  EXPECT_EQ(file.records[0].category, 2);
  EXPECT_TRUE(file.records[0].dirty);
  EXPECT_EQ(file.records[0].data, std::string("\x93\xfa\x96\x7b\0", 5));
}

// The disk is waited for when a journal starts (its file and its name) and
// when the conduit asks before a server commit, for every open database
// with unkept writes, not per record.
TEST_F(SyncManager, WritesWaitForTheDiskOnlyWhenFlushedOrClosed) {
  BYTE memos = create("MemoDB");
  BYTE notes = create("NotesDB");
  const DWORD start = SyncGetDiskFlushCount();
  for (int i = 0; i < 100; ++i) {
    write(memos, "memo " + std::to_string(i));
    write(notes, "note " + std::to_string(i));
  }
  EXPECT_EQ(SyncGetDiskFlushCount() - start, 4u);
  ASSERT_EQ(SyncFlushDBs(), 0) << SyncGetLastProblem();
  EXPECT_EQ(SyncGetDiskFlushCount() - start, 6u);
  ASSERT_EQ(SyncFlushDBs(), 0);
  EXPECT_EQ(SyncGetDiskFlushCount() - start, 6u) << "nothing new to keep";
  write(notes, "one more");
  ASSERT_EQ(SyncFlushDBs(), 0);
  EXPECT_EQ(SyncGetDiskFlushCount() - start, 7u);
  // Closing writes the file whole: the file and the folder.
  ASSERT_EQ(SyncCloseDB(memos), 0);
  EXPECT_EQ(SyncGetDiskFlushCount() - start, 9u);
}

TEST_F(SyncManager, MailPreferenceComesFromSavedPreferences) {
  CRawPreferenceInfo pref{};
  BYTE buffer[256];
  pref.m_Creator = fourCC("mail");
  pref.m_PrefId = 1;
  pref.m_ReqBytes = 65534;
  pref.m_bBackedUp = 1;
  pref.m_nBufSize = sizeof buffer;
  pref.m_pBuffer = buffer;
  EXPECT_EQ(SyncReadAppPreference(&pref), SYNCERR_NOT_FOUND);  // no preferences file yet

  palm::Database prefs;
  prefs.name = "Saved Preferences";
  prefs.attributes = palm::kDbResource | palm::kDbBackup;
  prefs.type = fourCC("sprf");
  prefs.creator = fourCC("psys");
  const std::string body("\x02\x00\x01\x00\x0f\xa0to\0\0subj\0", 15);
  prefs.resources = {{fourCC("mail"), 1, std::string("\x00\x03", 2) + body}, {fourCC("mail"), 2, "\x00\x03\x01"}};
  ASSERT_TRUE(palm::writeDatabaseFile((dir_ / "Saved Preferences.prc").string(), prefs));
  ASSERT_EQ(SyncReadAppPreference(&pref), 0) << SyncGetLastProblem();
  EXPECT_EQ(pref.m_version, 3);
  EXPECT_EQ(pref.m_RetBytes, body.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), pref.m_RetBytes), body);
  pref.m_PrefId = 9;
  EXPECT_EQ(SyncReadAppPreference(&pref), SYNCERR_NOT_FOUND);
  pref.m_PrefId = 1;
  pref.m_bBackedUp = 0;  // the unsaved preferences are another file
  EXPECT_EQ(SyncReadAppPreference(&pref), SYNCERR_NOT_FOUND);
}

TEST_F(SyncManager, LogEntriesAppendToTheHandheldsSyncLog) {
  EXPECT_EQ(SyncAddLogEntry("Address Book: 3 records"), 0);
  EXPECT_EQ(SyncAddLogEntry("two\nlines\n"), 0);
  EXPECT_EQ(SyncAddLogEntry(nullptr), 0);
  EXPECT_EQ(readFile(dir_ / "synclog.txt"), "Address Book: 3 records\ntwo\nlines\n\n");
}

TEST_F(SyncManager, TheFolderComesFromTheEnvironmentWhenNoneIsChosen) {
  SyncSetHandheldFolder(nullptr);
  ::unsetenv("GWSYNC_HANDHELD");
  BYTE h = 0;
  EXPECT_EQ(SyncOpenDB("MemoDB", 0, &h, kAppMode), SYNCERR_NO_HANDHELD);
  ::setenv("GWSYNC_HANDHELD", dir_.path().c_str(), 1);
  EXPECT_EQ(SyncAddLogEntry("via the environment"), 0);
  EXPECT_EQ(readFile(dir_ / "synclog.txt"), "via the environment\n");
  h = create("MemoDB");
  EXPECT_EQ(SyncSetHandheldFolder("/elsewhere"), SYNCERR_BUSY);
}

TEST_F(SyncManager, ConduitRegistration) {
  CONDHANDLE c = 0;
  ASSERT_EQ(SyncRegisterConduit(&c), 0);
  CONDHANDLE second = 0;
  EXPECT_EQ(SyncRegisterConduit(&second), SYNCERR_ALREADY_REGISTERED);
  BYTE h = create("MemoDB");
  write(h, "kept");
  EXPECT_EQ(SyncUnRegisterConduit(c + 1), SYNCERR_BAD_HANDLE);
  EXPECT_EQ(SyncUnRegisterConduit(c), 0);  // closes what is open
  EXPECT_EQ(SyncCloseDB(h), SYNCERR_BAD_HANDLE);
  ASSERT_EQ(SyncOpenDB("MemoDB", 0, &h, kAppMode), 0);
  EXPECT_EQ(loop(h, SyncReadRecordByIndex), std::vector<std::string>{"kept"});
}

TEST(SyncManagerLibrary, OrdinalsNameTheFunctionsConduitsImportByNumber) {
  ::setenv("GWSYNC_LIBDIR", GWSYNC_TEST_LIBDIR, 1);
  HMODULE lib = LoadLibrary("SYNC20.dll");
  ASSERT_NE(lib, nullptr) << platform::loaderProblem();
  const std::pair<int, const char*> kOrdinals[] = {{22, "SyncRegisterConduit"},
                                                   {23, "SyncUnRegisterConduit"},
                                                   {26, "SyncOpenDB"},
                                                   {27, "SyncCreateDB"},
                                                   {28, "SyncCloseDB"},
                                                   {31, "SyncResetSyncFlags"},
                                                   {32, "SyncWriteRec"},
                                                   {33, "SyncDeleteRec"},
                                                   {35, "SyncReadRecordById"},
                                                   {36, "SyncReadRecordByIndex"},
                                                   {37, "SyncReadNextModifiedRec"},
                                                   {38, "SyncReadDBAppInfoBlock"},
                                                   {39, "SyncWriteDBAppInfoBlock"},
                                                   {40, "SyncPurgeDeletedRecs"},
                                                   {41, "SyncPurgeAllRecs"},
                                                   {42, "SyncAddLogEntry"}};
  for (const auto& [ordinal, name] : kOrdinals) {
    FARPROC byNumber = GetProcAddress(lib, MAKEINTRESOURCE(ordinal));
    EXPECT_NE(byNumber, nullptr) << ordinal;
    EXPECT_EQ(byNumber, GetProcAddress(lib, name)) << name;
  }
  for (const char* byName : {"SyncCallRemoteModule", "SyncGetDBRecordCount", "SyncPurgeAllRecsInCategory",
                             "SyncReadNextRecInCategory", "SyncResetRecordIndex", "SyncReadAppPreference"})
    EXPECT_NE(GetProcAddress(lib, byName), nullptr) << byName;
  EXPECT_EQ(GetProcAddress(lib, MAKEINTRESOURCE(24)), nullptr);
  FreeLibrary(lib);
}

}  // namespace
