// The Memo Pad data source: the conduit's own category and nothing else.
#include "conduits/memo/memodatasrc.h"

#include <vector>

#include "log/log.h"
#include "log/msgids.h"
#include "synccore/gwdatasrc.h"

namespace {

const SyncManager& sm() { return loadedSyncManager("CPalmLSMemoDataSrc"); }

}  // namespace

CPalmLSMemoDataSrc::CPalmLSMemoDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times,
                                       const char* dbName, int cardNo, DWORD creator, const char* categoryName,
                                       const char* messageName)
    : CPalmLSDataSrc(categories, records, times, dbName, cardNo, creator),
      m_CategoryName(categoryName ? categoryName : ""),
      m_MessageName(messageName ? messageName : "") {}

int CPalmLSMemoDataSrc::productCategory() const { return palmCategories()->indexOf(m_CategoryName.c_str()); }

int CPalmLSMemoDataSrc::makeProductCategory() {
  const int index = productCategory();
  // An empty name would take a free entry and still never be found.
  if (index >= 0 || m_CategoryName.empty()) return index;
  CHHCategory* added = palmCategories()->add(m_CategoryName.c_str());
  return added ? static_cast<CPalmCategory*>(added)->m_Index : -1;
}

bool CPalmLSMemoDataSrc::prepareSync() {
  if (makeProductCategory() >= 0) return true;
  Log::writeLog(MSG_MEMO_NO_CATEGORY, m_MessageName.c_str());
  return false;
}

bool CPalmLSMemoDataSrc::ownsRecord(const CRawRecordInfo& info, CGWDataSrc* gw) {
  // A deleted or archived record has lost its category; one that was synced
  // before was in the product category.
  if (info.m_Attribs & (eRecAttrDeleted | eRecAttrArchived)) return gw && gw->findRecRel(info.m_RecId);
  return info.m_CatId == productCategory();
}

bool CPalmLSMemoDataSrc::readRecords(CGWDataSrc* gw, bool all) {
  CPalmRecordSet* set = palmRecords();
  set->init();
  const int category = productCategory();
  int n = 0;
  if (category >= 0 && all) {
    g_TraceObj.write(9, "CPalmLSMemoDataSrc: ---Reading all records of Corvane Category---\n");
    n = readCategoryRecords(category, PALMREC_MODIFIED);
  } else if (category >= 0) {
    g_TraceObj.write(9, "CPalmLSMemoDataSrc: ---Reading all modified records of Corvane Category---\n");
    n = readModifiedRecords(gw);
    g_TraceObj.write(10, "readModifiedRecordsInCategory(): Returning %d for category index:%d\n", n, category);
    if (n >= 0 && !readRecordsForModifiedGWRecs(gw)) n = -1;
  }
  set->traceRead();
  g_TraceObj.write(9, "CPalmLSMemoDataSrc: ---------Records(%d records) read-----------\n", set->count());
  return n >= 0;
}

bool CPalmLSMemoDataSrc::deleteAllRecord() {
  g_TraceObj.write(9, "deleteAllRecord() called\n");
  const int category = productCategory();
  if (category < 0) return true;
  LONG err = sm().PurgeAllRecsInCategory(m_Handle, static_cast<short>(category));
  if (err != 0) {
    logSyncError("SyncPurgeAllRecsInCategory", err);
    return false;
  }
  return true;
}

// The Sync Manager clears marks and purges only whole databases, which would
// take the archived memos of every other category with them.
bool CPalmLSMemoDataSrc::cleanupSyncRecords(int /*count*/) {
  g_TraceObj.write(9, "cleanupSyncRecords() called. Clearing dirty bit and deleting archived records\n");
  const int category = productCategory();
  return (category < 0 || clearDirtyMarks(category)) && purgeDeletedRead();
}

bool CPalmLSMemoDataSrc::clearDirtyMarks(int catIndex) {
  // Written back as read, without the mark; a live record keeps its place,
  // so the walk goes on after it.
  return forEachNextRecord(
      catIndex, [this](CRawRecordInfo& info) { return !(info.m_Attribs & eRecAttrDirty) || writeBackClean(info); });
}

bool CPalmLSMemoDataSrc::purgeDeletedRead() {
  std::vector<DWORD> ids;
  CPalmRecordSet* set = palmRecords();
  for (CHHRecord* r = set->getFirst(); r; r = set->getNext())
    if (static_cast<CPalmRecord*>(r)->m_Flags & PALMREC_DELETED) ids.push_back(r->getRecordId());
  // A record read as deleted may be one that left the category and lives
  // on: only what the handheld holds as deleted or archived goes.
  return forEachRecordById(ids, [this](CRawRecordInfo& info) {
    return !(info.m_Attribs & (eRecAttrDeleted | eRecAttrArchived)) || deleteRawRecord(info.m_RecId);
  });
}
