// The handheld side of a run over the real Sync Manager and a handheld
// folder: the record set, the category list and its block, the last sync
// times in GWSyncDB, reading all or only the changed records, and writes.
#include "conduits/common/palmdatasrc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "hotsync/sync20/sync20.h"
#include "synccore/tests/logcapture.h"
#include "testutil/files.h"
#include "testutil/syncrecords.h"

namespace {

constexpr DWORD kAddr = 0x61646472;  // 'addr'
constexpr DWORD kData = 0x44415441;  // 'DATA'
constexpr BYTE kAppMode = eDbRead | eDbWrite | eDbShowSecret;

CPalmRecord* placePlain(void* memory, BYTE* shared) { return new (memory) CPalmRecord(shared); }

std::string dataOf(const CPalmRecord& r) { return std::string(reinterpret_cast<const char*>(r.data()), r.dataSize()); }

// A handheld folder with the Sync Manager pointed at it, and the data source
// of one run over "AddressDB".
class Handheld : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("GWSYNC_LIBDIR", GWSYNC_TEST_LIBDIR, 1);
    ASSERT_NE(syncManager(), nullptr) << syncManagerProblem();
    ASSERT_EQ(SyncSetHandheldFolder(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    for (BYTE h = 1; h <= 32; ++h) SyncCloseDB(h);
    SyncSetHandheldFolder(nullptr);
  }

  // A database made as a device would have it: created and initialised by
  // its application, then filled.
  BYTE createAddressDb() {
    CDbCreateDB c{};
    c.m_Creator = kAddr;
    c.m_Type = kData;
    std::strcpy(c.m_Name, "AddressDB");
    EXPECT_EQ(SyncCreateDB(&c), 0) << SyncGetLastProblem();
    CInitDatabaseParam p{};
    p.m_FileHandle = c.m_FileHandle;
    p.m_Creator = kAddr;
    p.m_Type = kData;
    CCallModuleParams call{};
    call.m_dwCreatorID = kAddr;
    call.m_dwTypeID = 0x6170706C;
    call.m_wActionCode = sysAppLaunchCmdInitDatabase;
    call.m_dwParamSize = sizeof p;
    call.m_pParam = &p;
    EXPECT_EQ(SyncCallRemoteModule(&call), 0) << SyncGetLastProblem();
    return c.m_FileHandle;
  }
  DWORD write(BYTE h, const std::string& data, BYTE attributes, short category = 0, DWORD id = 0) {
    return testutil::writeRecord(h, data, attributes, category, id);
  }
  std::string appInfo(BYTE h) {
    std::vector<BYTE> buffer(4096);
    CDbGenInfo info{};
    info.m_TotalBytes = 4096;
    info.m_pBytes = buffer.data();
    EXPECT_EQ(SyncReadDBAppInfoBlock(h, &info), 0);
    return std::string(reinterpret_cast<char*>(buffer.data()), info.m_BytesRead);
  }
  void setAppInfo(BYTE h, const std::string& block) { ASSERT_NO_FATAL_FAILURE(testutil::writeAppInfo(h, block)); }
  // The records of a full or changed-only read, by id.
  std::set<DWORD> readIds(CPalmLSDataSrc& hh, bool all) {
    EXPECT_TRUE(hh.readRecords(nullptr, all));
    std::set<DWORD> ids;
    CHHRecord* r = nullptr;
    for (hh.getFirstRecordToSync(&r); r; hh.getNextRecordToSync(&r)) EXPECT_TRUE(ids.insert(r->getRecordId()).second);
    return ids;
  }

  testutil::TempDir dir_{"palmds"};
  testutil::LogCapture log_{dir_.path()};
  CPalmCategoryList categories_;
  CPalmRecordSet records_{sizeof(CPalmRecord), placePlain};
  SyncTimeStore times_{1};
  CPalmLSDataSrc hh_{&categories_, &records_, &times_, "AddressDB", 0, kAddr};
};

TEST(PalmRecord, SharedBufferCutsOwnBufferGrows) {
  std::vector<BYTE> big(kPalmSharedBufferSize + 10, 'x');
  std::vector<BYTE> shared(kPalmSharedBufferSize);
  CPalmRecord onShared(shared.data());
  onShared.setRawData(big.data(), static_cast<DWORD>(big.size()));
  EXPECT_EQ(onShared.dataSize(), kPalmSharedBufferSize);
  EXPECT_EQ(onShared.data(), shared.data());

  CPalmRecord own;
  own.setRawData(big.data(), 3);
  own.setRawData(big.data(), static_cast<DWORD>(big.size()));
  EXPECT_EQ(own.dataSize(), big.size());
  EXPECT_EQ(own.bufferSize(), big.size());

  // A copy of a shared-buffer record owns its data: the next conversion into
  // the shared buffer must not change it.
  onShared.setRawData(reinterpret_cast<const BYTE*>("abc"), 3);
  CPalmRecord copy(onShared);
  shared[0] = 'Z';
  EXPECT_EQ(dataOf(copy), "abc");
}

TEST(PalmRecord, StatusFromFlags) {
  CPalmRecord r;
  EXPECT_EQ(r.getStatus(), HHSTAT_UNCHANGED);
  r.m_Flags = PALMREC_MODIFIED | PALMREC_PRIVATE;
  EXPECT_EQ(r.getStatus(), HHSTAT_CHANGED);
  r.m_Flags = PALMREC_MODIFIED | PALMREC_DELETED;
  EXPECT_EQ(r.getStatus(), HHSTAT_DELETED);
  EXPECT_EQ(palmFlagsFromAttributes(eRecAttrArchived | eRecAttrDirty),
            PALMREC_DELETED | PALMREC_ARCHIVED | PALMREC_MODIFIED);
  EXPECT_EQ(palmFlagsFromAttributes(eRecAttrSecret), PALMREC_PRIVATE);
  for (BYTE a : {0x00, 0x40, 0x10, 0x80, 0xC0, 0x88, 0xD8})
    EXPECT_EQ(palmAttributesFromFlags(palmFlagsFromAttributes(a)), a) << int(a);
}

TEST(PalmRecordSet, FindIterateAndReleaseDuringAWalk) {
  CPalmRecordSet set(sizeof(CPalmRecord), placePlain);
  // Ids 101 apart share a bucket.
  for (DWORD id : {5u, 106u, 207u, 7u}) {
    auto* r = static_cast<CPalmRecord*>(set.newRecord(0));
    r->m_RecId = id;
    set.add(r);
  }
  EXPECT_EQ(set.count(), 4);
  ASSERT_NE(set.find(106), nullptr);
  EXPECT_EQ(set.find(106)->getRecordId(), 106u);
  EXPECT_EQ(set.find(308), nullptr);

  std::set<DWORD> seen;
  CHHRecord* r = set.getFirst();
  seen.insert(r->getRecordId());
  // Records made and given back while walking leave the walk alone, and a
  // released member is skipped rather than visited after its release.
  set.releaseRecord(set.newRecord(1));
  DWORD gone = r->getRecordId() == 7 ? 5 : 7;
  set.releaseRecord(set.find(gone));
  for (r = set.getNext(); r; r = set.getNext()) seen.insert(r->getRecordId());
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen.count(gone), 0u);
  EXPECT_EQ(set.count(), 3);
  set.init();
  EXPECT_EQ(set.getFirst(), nullptr);
}

// Thousands of records: the buckets grow as records come, but not in the
// middle of a walk, which visits every record once even when records are
// added on the way; every id is found afterwards.
TEST(PalmRecordSet, ManyRecordsAreFoundAndWalkedOnceEachWhileTheSetGrows) {
  CPalmRecordSet set(sizeof(CPalmRecord), placePlain);
  auto add = [&](DWORD id) {
    auto* r = static_cast<CPalmRecord*>(set.newRecord(0));
    r->m_RecId = id;
    set.add(r);
  };
  for (DWORD id = 1; id <= 3000; ++id) add(id * 7);
  std::multiset<DWORD> walked;
  int added = 0;
  for (CHHRecord* r = set.getFirst(); r; r = set.getNext()) {
    walked.insert(r->getRecordId());
    if (added < 2000) add(100000 + static_cast<DWORD>(added++));  // past the point of growing
  }
  for (DWORD id = 1; id <= 3000; ++id) EXPECT_EQ(walked.count(id * 7), 1u) << id;
  for (DWORD id : walked) EXPECT_EQ(walked.count(id), 1u) << id;
  EXPECT_EQ(set.count(), 5000);
  for (DWORD id = 1; id <= 3000; ++id) ASSERT_NE(set.find(id * 7), nullptr) << id;
  for (int i = 0; i < 2000; ++i) ASSERT_NE(set.find(100000 + static_cast<DWORD>(i)), nullptr) << i;
  set.add(static_cast<CPalmRecord*>(set.newRecord(0)));  // after the walk: grows now
  std::set<DWORD> again;
  int n = 0;
  for (CHHRecord* r = set.getFirst(); r; r = set.getNext(), ++n) again.insert(r->getRecordId());
  EXPECT_EQ(n, 5001);
}

TEST(PalmCategoryList, BlockRoundTripAddAndFull) {
  BYTE block[kPalmCategoryBlockSize] = {};
  block[0] = 0x80;  // renamed flags
  const char* names[] = {"Unfiled", "Business", "Personal", "QuickList"};
  for (int i = 0; i < 4; ++i) {
    std::strcpy(reinterpret_cast<char*>(block + 2 + 16 * i), names[i]);
    block[258 + i] = static_cast<BYTE>(i);
  }
  block[274] = 15;
  CPalmCategoryList list;
  list.fromBlock(block);
  EXPECT_EQ(list.indexOf("Business"), 1);
  EXPECT_EQ(list.find(""), nullptr);  // empty names never match
  EXPECT_EQ(list.indexOf("Nothing"), -1);

  // Names are compared in the handheld's form: 15 bytes.
  auto* added = static_cast<CPalmCategory*>(list.add("A very long category name"));
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->m_Index, 4);
  EXPECT_EQ(added->m_UniqueId, 128);
  EXPECT_STREQ(added->getName(), "A very long cat");
  EXPECT_EQ(list.indexOf("A very long category name"), 4);
  EXPECT_TRUE(list.m_Changed);

  BYTE out[kPalmCategoryBlockSize];
  list.toBlock(out);
  EXPECT_EQ(out[0], 0);  // renamed flags cleared
  EXPECT_EQ(out[258 + 4], 128);
  EXPECT_EQ(out[274], 15);
  EXPECT_EQ(std::memcmp(out + 2, block + 2, 16 * 4), 0);

  for (int i = 5; i < 16; ++i) ASSERT_NE(list.add(("c" + std::to_string(i)).c_str()), nullptr) << i;
  EXPECT_EQ(list.at(15).m_UniqueId, 139);
  EXPECT_EQ(list.add("one too many"), nullptr);
}

TEST(PalmCategoryList, DoubleByteNameIsNotSplit) {
  CPalmCategoryList list;
  // Seven two-byte characters and a third half: 15 bytes would split one.
  std::string name;
  for (int i = 0; i < 8; ++i) name += "\x93\xfa";
  auto* c = static_cast<CPalmCategory*>(list.add(name.c_str()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::strlen(c->getName()), 14u);
}

TEST_F(Handheld, MissingDatabaseIsCreatedWithItsCategoriesAndIsAFirstSync) {
  ASSERT_TRUE(hh_.openDB());
  EXPECT_TRUE(hh_.isFirstSync(0));
  ASSERT_TRUE(hh_.readCategories());
  EXPECT_EQ(categories_.indexOf("Business"), 1);
  EXPECT_EQ(categories_.indexOf("QuickList"), 3);
  ASSERT_TRUE(hh_.closeDB());
  EXPECT_TRUE(std::filesystem::exists(dir_ / "AddressDB.pdb"));
  // Nothing was synced: no last sync time is stored.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "GWSyncDB.pdb"));
}

TEST_F(Handheld, LastSyncTimeGoesToItsOwnSlotAndSurvives) {
  ASSERT_TRUE(hh_.openDB());
  hh_.setLastSyncTime(0);  // 0 leaves it
  hh_.setLastSyncTime(1700000000);
  ASSERT_TRUE(hh_.closeDB());

  BYTE h = 0;
  ASSERT_EQ(SyncOpenDB("GWSyncDB", 0, &h, eDbRead), 0);
  WORD count = 0;
  SyncGetDBRecordCount(h, &count);
  EXPECT_EQ(count, 1);
  BYTE raw[64];
  CRawRecordInfo info{};
  info.m_FileHandle = h;
  info.m_TotalBytes = sizeof raw;
  info.m_pBytes = raw;
  ASSERT_EQ(SyncReadRecordByIndex(&info), 0);
  ASSERT_EQ(info.m_RecSize, 20u);
  const BYTE slot1[] = {0x65, 0x53, 0xF1, 0x00};
  EXPECT_EQ(std::memcmp(raw + 4, slot1, 4), 0);
  EXPECT_EQ(raw[0] | raw[8] | raw[12] | raw[16], 0);
  SyncCloseDB(h);

  // Another conduit's store keeps this slot and writes its own.
  CPalmCategoryList c2;
  CPalmRecordSet r2(sizeof(CPalmRecord), placePlain);
  SyncTimeStore memoTimes(3);
  CPalmLSDataSrc memo(&c2, &r2, &memoTimes, "MemoDB", 0, 0x6D656D6F);
  ASSERT_TRUE(memo.openDB());
  EXPECT_TRUE(memo.isFirstSync(0));
  memo.setLastSyncTime(1700000500);
  ASSERT_TRUE(memo.closeDB());
  SyncTimeStore check(1);
  ASSERT_TRUE(check.read());
  EXPECT_EQ(check.get(), 1700000000u);
  EXPECT_EQ(check.slotValue(3), 1700000500u);
}

TEST_F(Handheld, ShortGWSyncDBRecordReadsMissingSlotsAsZero) {
  CDbCreateDB c{};
  c.m_Creator = 0x47575359;
  c.m_Type = kData;
  std::strcpy(c.m_Name, "GWSyncDB");
  ASSERT_EQ(SyncCreateDB(&c), 0);
  write(c.m_FileHandle, std::string("\0\0\0\x01\x60\0\0\x02", 8), 0);
  SyncCloseDB(c.m_FileHandle);
  SyncTimeStore slot1(1), slot3(3);
  ASSERT_TRUE(slot1.read());
  ASSERT_TRUE(slot3.read());
  EXPECT_EQ(slot1.get(), 0x60000002u);
  EXPECT_EQ(slot3.get(), 0u);
}

TEST_F(Handheld, ChangedOnlyReadTakesDirtyRecordsAndChangedCategoriesOnce) {
  BYTE h = createAddressDb();
  DWORD clean = write(h, "clean", 0, 0);
  DWORD dirty = write(h, "dirty", eRecAttrDirty, 1);
  DWORD deleted = write(h, "", eRecAttrDeleted | eRecAttrDirty, 2);
  DWORD inRenamed = write(h, "renamed", 0, 2);
  DWORD dirtyInRenamed = write(h, "both", eRecAttrDirty, 2);
  std::string block = appInfo(h);
  block[1] = 0x04;  // category 2 was renamed on the handheld
  setAppInfo(h, block);
  SyncCloseDB(h);

  ASSERT_TRUE(hh_.openDB());
  ASSERT_TRUE(hh_.readCategories());
  EXPECT_EQ(readIds(hh_, true), (std::set<DWORD>{clean, dirty, deleted, inRenamed, dirtyInRenamed}));
  EXPECT_EQ(readIds(hh_, false), (std::set<DWORD>{dirty, deleted, inRenamed, dirtyInRenamed}));
  auto* renamed = static_cast<CPalmRecord*>(records_.find(inRenamed));
  EXPECT_EQ(renamed->m_Flags, PALMREC_MODIFIED | PALMREC_IN_CHANGED_CATEGORY);
  EXPECT_EQ(renamed->getStatus(), HHSTAT_CHANGED);
  EXPECT_EQ(records_.find(deleted)->getStatus(), HHSTAT_DELETED);
  EXPECT_EQ(static_cast<CPalmRecord*>(records_.find(dirty))->m_CatIndex, 1);
  ASSERT_TRUE(hh_.closeDB());
}

TEST_F(Handheld, WritesDeletesAndCleanup) {
  BYTE h = createAddressDb();
  DWORD kept = write(h, "kept", eRecAttrDirty, 0);
  DWORD gone = write(h, "gone", eRecAttrDeleted | eRecAttrDirty, 0);
  SyncCloseDB(h);

  ASSERT_TRUE(hh_.openDB());
  CHHRecOpResult* result = nullptr;
  auto* fresh = static_cast<CPalmRecord*>(records_.newRecord(1));
  fresh->setRawData(reinterpret_cast<const BYTE*>("new"), 3);
  fresh->m_Flags = PALMREC_PRIVATE;
  fresh->m_CatIndex = 2;
  ASSERT_EQ(hh_.addRecord(fresh, &result), HH_DONE);
  const CHHRecOpResultItem* item = result->first();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->m_Op, HHOP_ADD);
  EXPECT_EQ(item->m_Success, 1);
  DWORD added = item->m_RecId;
  EXPECT_NE(added, 0u);
  records_.releaseRecord(fresh);

  ASSERT_EQ(hh_.deleteRecord(0x00ABCDEF, &result), HH_DONE);  // never existed: done
  EXPECT_EQ(result->first()->m_Success, 1);
  ASSERT_TRUE(hh_.cleanupSyncRecords(0));
  // Nothing changed is left and the deleted record is purged.
  EXPECT_TRUE(readIds(hh_, false).empty());
  EXPECT_EQ(readIds(hh_, true), (std::set<DWORD>{kept, added}));
  auto* back = static_cast<CPalmRecord*>(records_.find(added));
  EXPECT_EQ(dataOf(*back), "new");
  EXPECT_EQ(back->m_Flags, PALMREC_MODIFIED | PALMREC_PRIVATE);  // full reads mark every record
  EXPECT_EQ(back->m_CatIndex, 2);
  EXPECT_EQ(records_.find(gone), nullptr);
  ASSERT_TRUE(hh_.closeDB());
}

TEST_F(Handheld, CategoryWriteKeepsTheRestOfTheBlock) {
  BYTE h = createAddressDb();
  std::string before = appInfo(h);
  ASSERT_GT(before.size(), kPalmCategoryBlockSize);
  before[0] = 0x00;
  before[1] = 0x02;  // renamed flag set
  setAppInfo(h, before);
  SyncCloseDB(h);

  ASSERT_TRUE(hh_.openDB());
  ASSERT_TRUE(hh_.readCategories());
  ASSERT_NE(hh_.getCategoryList()->add("Travel"), nullptr);
  CHHRecOpResult* result = nullptr;
  ASSERT_EQ(hh_.writeCategories(&result), HH_DONE);
  EXPECT_EQ(result->first()->m_Op, HHOP_CATEGORIES);
  // Written once: nothing is left to write.
  EXPECT_EQ(hh_.writeCategories(&result), HH_NOTHING);
  ASSERT_TRUE(hh_.closeDB());

  ASSERT_EQ(SyncOpenDB("AddressDB", 0, &h, kAppMode), 0);
  std::string after = appInfo(h);
  SyncCloseDB(h);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(kPalmCategoryBlockSize), before.substr(kPalmCategoryBlockSize));
  EXPECT_EQ(after[1], 0);
  EXPECT_STREQ(after.c_str() + 2 + 16 * 4, "Travel");
}

TEST_F(Handheld, ShortAppInfoBlockIsReportedAndGrowsWhenWritten) {
  CDbCreateDB c{};
  c.m_Creator = kAddr;
  c.m_Type = kData;
  std::strcpy(c.m_Name, "AddressDB");
  ASSERT_EQ(SyncCreateDB(&c), 0);
  setAppInfo(c.m_FileHandle, std::string(200, '\0'));
  SyncCloseDB(c.m_FileHandle);

  ASSERT_TRUE(hh_.openDB());
  ASSERT_TRUE(hh_.readCategories());
  EXPECT_EQ(log_.count("too short (200 bytes, 276 needed)"), 1) << log_.all();
  EXPECT_EQ(categories_.indexOf("Unfiled"), -1);
  ASSERT_NE(categories_.add("Added"), nullptr);
  CHHRecOpResult* result = nullptr;
  ASSERT_EQ(hh_.writeCategories(&result), HH_DONE);
  ASSERT_TRUE(hh_.closeDB());

  BYTE h = 0;
  ASSERT_EQ(SyncOpenDB("AddressDB", 0, &h, kAppMode), 0);
  std::string after = appInfo(h);
  SyncCloseDB(h);
  ASSERT_EQ(after.size(), kPalmCategoryBlockSize);
  EXPECT_STREQ(after.c_str() + 2, "Added");
}

TEST_F(Handheld, DamagedDatabaseIsReportedAndNeverReplaced) {
  std::string junk = "this is not a Palm database file at all, not even close";
  {
    std::ofstream out(dir_ / "AddressDB.pdb", std::ios::binary);
    out << junk;
  }
  EXPECT_FALSE(hh_.openDB());
  EXPECT_EQ(log_.count("AddressDB on card 0 could not be opened"), 1) << log_.all();
  EXPECT_EQ(testutil::readFile(dir_ / "AddressDB.pdb"), junk);
}

}  // namespace
