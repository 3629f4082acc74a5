// Memo Pad records to and from server memos, through the record class the
// conduit places in its record set, and the conduit's resource texts.
#include "conduits/memo/memorecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conduits/common/conduit.h"
#include "conduits/memo/memodatasrc.h"
#include "hotsync/pdb/pdb.h"
#include "platform/module.h"
#include "synccore/helpers.h"

using namespace std::string_literals;

// In the conduit library the application object loads the resource library.
char* conduitText(UINT id, char* buffer, int size) {
  static HMODULE resources = LoadLibrary(GWSYNC_TEST_LIBDIR "/libmemores.so");
  return loadResourceText(resources, id, buffer, size);
}

namespace {

const std::string kHanako = "\x89\xD4\x8E\x71";  // two double-byte characters

std::string bytesOf(const CPalmRecord& r) { return {reinterpret_cast<const char*>(r.data()), r.dataSize()}; }

// A Memo Pad with its new categories (Unfiled, Business, Personal) and the
// record set and data source of a run, the way the conduit builds them.
class MemoRun : public ::testing::Test {
 protected:
  MemoRun() {
    const std::string block = *palm::defaultAppInfo(palm::fourCC("memo"));
    categories_.fromBlock(reinterpret_cast<const BYTE*>(block.data()));
  }
  // A server memo converted into a record to be written; its bytes.
  std::string fromServer(const char* title, const char* body, const CPalmRecord* prev = nullptr) {
    __MEMO_DATA data{9, 0, const_cast<char*>(title), const_cast<char*>(body)};
    CGWMemoConstRec memo(&data);
    written_ = static_cast<CPalmRecord*>(records_.newRecord(1));
    EXPECT_TRUE(written_->convertGW2HH(hh_.get(), nullptr, prev, &memo));
    return bytesOf(*written_);
  }

  CPalmCategoryList categories_;
  CPalmRecordSet records_{g_ConduitDef.recordSize, g_ConduitDef.placeRecord};
  SyncTimeStore times_{g_ConduitDef.timeSlot};
  std::unique_ptr<CPalmLSDataSrc> hh_ =
      g_ConduitDef.makeHandheldSource(&categories_, &records_, &times_, "MemoDB", g_ConduitDef.creator);
  CPalmRecord* written_ = nullptr;
};

TEST_F(MemoRun, ServerMemoArrivesWithLineFeedsInTheConduitsCategory) {
  EXPECT_EQ(fromServer("Shopping", "milk\r\neggs"), "Shopping\nmilk\neggs\0\0"s);
  // The category was missing: it is added after the handheld's three.
  EXPECT_EQ(written_->m_CatIndex, 3);
  EXPECT_STREQ(categories_.at(3).m_Name, "GWSync");
  EXPECT_TRUE(categories_.m_Changed);
  EXPECT_EQ(written_->m_Flags & PALMREC_PRIVATE, 0);

  EXPECT_EQ(fromServer("Title only", ""), "Title only\n\0\0"s);
  EXPECT_EQ(written_->m_CatIndex, 3);  // found now, not added twice
  EXPECT_STREQ(categories_.at(4).m_Name, "");
}

TEST_F(MemoRun, APrivateMemoStaysPrivate) {
  CPalmMemoRecord prev;
  prev.m_Flags = PALMREC_PRIVATE | PALMREC_MODIFIED;
  fromServer("Secret", "", &prev);
  EXPECT_EQ(written_->m_Flags, PALMREC_PRIVATE);
  prev.m_Flags = PALMREC_MODIFIED;
  fromServer("Public", "", &prev);
  EXPECT_EQ(written_->m_Flags, 0);
}

// One row per text: the record's bytes and the server memo they give
// (null: the part is absent).
struct Split {
  const char* name;
  std::string data;
  const char* title;
  const char* body;
};

void PrintTo(const Split& s, std::ostream* os) { *os << s.name; }

class MemoToServer : public ::testing::TestWithParam<Split> {};

TEST_P(MemoToServer, TitleIsTheFirstLine) {
  CPalmMemoRecord rec;
  rec.setRawData(reinterpret_cast<const BYTE*>(GetParam().data.data()), static_cast<DWORD>(GetParam().data.size()));
  CGWMemoRec memo;
  memo.setSubject("stale");
  memo.setData("stale");
  ASSERT_TRUE(rec.convertHH2GW(nullptr, nullptr, nullptr, &memo));
  auto text = [](const char* s) { return s ? std::string(s) : "(null)"s; };
  EXPECT_EQ(text(memo.getSubject()), text(GetParam().title));
  EXPECT_EQ(text(memo.getData()), text(GetParam().body));
}

INSTANTIATE_TEST_SUITE_P(Rows, MemoToServer,
                         ::testing::Values(
                             //    name               record bytes                 title            body
                             Split{"TitleAndBody", "Shopping\nmilk\neggs\0"s, "Shopping", "milk\neggs"},
                             Split{"NoLineBreak", "No line break\0"s, "No line break", nullptr},
                             Split{"StartsWithBreak", "\nstarts with a break\0"s, nullptr, "starts with a break"},
                             Split{"EmptyBody", "Title\n\0"s, "Title", nullptr},
                             Split{"Empty", "\0\0"s, nullptr, nullptr},
                             Split{"NoTerminator", "no\nterminator"s, "no", "terminator"},
                             Split{"BytesAfterNul", "cut\0\nafter NUL"s, "cut", nullptr}),
                         [](const ::testing::TestParamInfo<Split>& info) { return info.param.name; });

// A 10,000-byte memo keeps 4,096 bytes of text at most, whole characters
// only, the title included, and always its two zero bytes.
TEST(MemoFromServer, ALongMemoIsCutOnACharacterBoundary) {
  std::string body;
  while (body.size() < 10000) body += kHanako;
  std::vector<BYTE> out(kPalmSharedBufferSize);
  struct Row {
    std::string title;
    size_t textSize;
  };
  for (const Row& row : {Row{"T", 4096}, Row{"Ti", 4095}, Row{std::string(5000, 't'), 4096}}) {
    DWORD size = 0;
    ASSERT_TRUE(buildMemoRecord(row.title.c_str(), body.c_str(), out.data(), static_cast<DWORD>(out.size()), &size));
    const std::string text(reinterpret_cast<const char*>(out.data()), size - 2);
    EXPECT_EQ(text.size(), row.textSize) << row.title.size();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + size - 2, 2), "\0\0"s);
    const size_t lf = text.find('\n');
    ASSERT_NE(lf, std::string::npos);
    EXPECT_EQ(text.substr(0, lf), row.title.substr(0, lf));
    EXPECT_EQ((text.size() - lf - 1) % 2, 0u) << "a double-byte character was split";
    EXPECT_EQ(text.substr(lf + 1), body.substr(0, text.size() - lf - 1));
  }
  // A small buffer is filled to its end and not a byte further.
  std::vector<BYTE> small(9, 0xEE);
  DWORD size = 0;
  ASSERT_TRUE(buildMemoRecord("Title", "body", small.data(), 8, &size));
  EXPECT_EQ(std::string(small.begin(), small.end()), "Title\n\0\0\xEE"s);
  EXPECT_FALSE(buildMemoRecord("Title", "body", small.data(), 2, &size));
}

TEST(MemoRecIdStr, TheTextCutWithDots) {
  auto idOf = [](const std::string& data, int length) {
    CPalmMemoRecord rec;
    rec.setRawData(reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    char buffer[64];
    return std::string(rec.getRecIdStr(buffer, length));
  };
  EXPECT_EQ(idOf("Shopping\nmilk\0\0"s, 64), "Shopping\nmilk");
  EXPECT_EQ(idOf("Shopping\nmilk\0\0"s, 8), "Shop...");
  EXPECT_EQ(idOf(kHanako + kHanako + "\0"s, 7), kHanako.substr(0, 2) + "...");
  EXPECT_EQ(idOf(""s, 64), "");
}

TEST(MemoResources, NameTheCategoryTheConduitMakes) {
  char category[64], inMessage[64];
  ASSERT_GT(conduitText(MEMORES_CATEGORY, category, sizeof category)[0], 0);
  EXPECT_LE(std::strlen(category), 15u);  // what a handheld category holds
  EXPECT_STREQ(conduitText(MEMORES_NO_CATEGORY, inMessage, sizeof inMessage), category);
}

}  // namespace
