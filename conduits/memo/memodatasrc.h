// The Memo Pad as the memo conduit sees it: only the memos of one category
// of its own, the product category, whose name is string 1 of the conduit's
// resource library. Memos in every other category are never read, changed
// or purged, and the category is made when the handheld lacks it.
//
//   CPalmLSMemoDataSrc hh(&categories, &records, &times, "MemoDB", 0, 'memo', "GWSync");
//   CSyncCore core(hh, gw, true);
#pragma once

#include <string>

#include "conduits/common/palmdatasrc.h"

// Strings of the memo conduit's resource library.
enum : UINT {
  MEMORES_CATEGORY = 1,      // the product category's name, 15 bytes at most
  MEMORES_NO_CATEGORY = 10,  // names the category in the message of a full list
};

class CPalmLSMemoDataSrc : public CPalmLSDataSrc {
 public:
  // categoryName: the product category; messageName: how the message of a
  // full category list names it. Both are copied.
  CPalmLSMemoDataSrc(CPalmCategoryList* categories, CPalmRecordSet* records, SyncTimeStore* times, const char* dbName,
                     int cardNo, DWORD creator, const char* categoryName, const char* messageName);

  // Adds the product category when it is missing; false, after message
  // 0xc000001c, when the category list has no free entry.
  bool prepareSync() override;
  // The product category's records: all of them, or the changed ones, those
  // deleted or archived that were synced before (their file form keeps no
  // category) and those of changed server records.
  bool readRecords(CGWDataSrc* gw, bool all) override;
  // Purges the product category's live records; true when there is none.
  bool deleteAllRecord() override;
  // Record by record, only what is the conduit's: clears the dirty marks of
  // the product category and purges the deleted and archived records read
  // in this run. Every other record stays as it was.
  bool cleanupSyncRecords(int count) override;

  // The product category's index, or -1 when the list lacks it.
  int productCategory() const;
  // The index, the category added when missing; -1 when the list is full.
  int makeProductCategory();
  const std::string& categoryName() const { return m_CategoryName; }

 protected:
  // Live records of the product category, and deleted or archived ones that
  // the server's relations name.
  bool ownsRecord(const CRawRecordInfo& info, CGWDataSrc* gw) override;

 private:
  bool clearDirtyMarks(int catIndex);
  bool purgeDeletedRead();

  std::string m_CategoryName;
  std::string m_MessageName;
};
