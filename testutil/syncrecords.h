// Record writes through the Sync Manager for the tests that set up a
// handheld database by its calls.
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

}  // namespace testutil
