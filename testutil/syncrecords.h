// Record and application info writes through the Sync Manager, for the
// tests that set up a handheld database by its calls.
//
//   DWORD id = testutil::writeRecord(handle, bytes, eRecAttrDirty, 2);
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "hotsync/sync20/sync20.h"

namespace testutil {

// Writes bytes as a record of the open database h (id 0: a new record);
// answers the record's id. A failure is a test failure with the problem.
inline DWORD writeRecord(BYTE h, const std::string& data, BYTE attributes = 0, short category = 0, DWORD id = 0) {
  CRawRecordInfo info{};
  info.m_FileHandle = h;
  info.m_RecId = id;
  info.m_Attribs = attributes;
  info.m_CatId = category;
  info.m_RecSize = static_cast<DWORD>(data.size());
  info.m_pBytes = reinterpret_cast<BYTE*>(const_cast<char*>(data.data()));
  EXPECT_EQ(SyncWriteRec(&info), 0) << SyncGetLastProblem();
  return info.m_RecId;
}

// Writes block as the application info block of the open database h. A
// failure is a fatal test failure with the problem.
inline void writeAppInfo(BYTE h, const std::string& block) {
  CDbGenInfo info{};
  info.m_TotalBytes = info.m_BytesRead = static_cast<WORD>(block.size());
  info.m_pBytes = reinterpret_cast<BYTE*>(const_cast<char*>(block.data()));
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, &info), 0) << SyncGetLastProblem();
}

}  // namespace testutil
