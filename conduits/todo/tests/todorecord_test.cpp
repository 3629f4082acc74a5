// To Do List records to and from server to-dos, through the functions the
// record class calls and the record class itself, and the conduit's
// resource texts.
#include "conduits/todo/todorecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "conduits/common/conduit.h"
#include "hotsync/pdb/pdb.h"
#include "platform/module.h"
#include "synccore/helpers.h"

using namespace std::string_literals;

// In the conduit library the application object loads the resource library.
char* conduitText(UINT id, char* buffer, int size) {
  static HMODULE resources = LoadLibrary(GWSYNC_TEST_LIBDIR "/libtodores.so");
  return loadResourceText(resources, id, buffer, size);
}

namespace {

const std::string kHanako = "\x89\xD4\x8E\x71";  // two double-byte characters
constexpr __OFFICE_DATE kNone{0, 0, 0};
constexpr __OFFICE_DATE kToday{2026, 12, 8};

std::string bytesOf(const CPalmRecord& r) { return {reinterpret_cast<const char*>(r.data()), r.dataSize()}; }

bool sameDate(const __OFFICE_DATE& a, const __OFFICE_DATE& b) {
  return a.lYear == b.lYear && a.lMonth == b.lMonth && a.lDay == b.lDay;
}

// A server to-do whose texts live as long as it does.
struct ServerToDo {
  ServerToDo(__OFFICE_DATE due, LONG priority, BOOL finish, std::string name, std::string memo,
             std::string category = "", __OFFICE_DATE end = kNone)
      : name_(std::move(name)), memo_(std::move(memo)), category_(std::move(category)) {
    data_ = {7, 100, due, priority, finish, end, name_.data(), category_.data(), memo_.data()};
  }
  ServerToDo(const ServerToDo& other)
      : ServerToDo(other.data_.dateLimit, other.data_.nPriority, other.data_.bFinish, other.name_, other.memo_,
                   other.category_, other.data_.dateEnd) {}
  ServerToDo& operator=(const ServerToDo&) = delete;
  CGWToDoConstRec rec() const { return CGWToDoConstRec(&data_); }

  std::string name_, memo_, category_;
  __TODO_DATA data_;
};

// ---- Server to handheld ----

// Legend: the server's due date, priority, finish mark, name and memo; the
// record bytes they give.
struct FromServerRow {
  const char* name;
  __OFFICE_DATE due;
  LONG priority;
  BOOL finish;
  const char* todo;
  const char* memo;
  std::string bytes;
};

void PrintTo(const FromServerRow& r, std::ostream* os) { *os << r.name; }

class ToDoFromServer : public ::testing::TestWithParam<FromServerRow> {};

TEST_P(ToDoFromServer, PacksTheHandheldRecord) {
  const FromServerRow& row = GetParam();
  __TODO_DATA data{7,
                   100,
                   row.due,
                   row.priority,
                   row.finish,
                   kNone,
                   const_cast<char*>(row.todo),
                   nullptr,
                   const_cast<char*>(row.memo)};
  std::vector<BYTE> out(kPalmSharedBufferSize, 0xEE);
  DWORD size = 0;
  ASSERT_TRUE(buildToDoRecord(CGWToDoConstRec(&data), out.data(), static_cast<DWORD>(out.size()), &size));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), size), row.bytes);
  EXPECT_EQ(out[size], 0xEE);  // not a byte further
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, ToDoFromServer,
    ::testing::Values(
        //            name              due              prio fin todo        memo          record bytes
        FromServerRow{"DueAndPriority", {2026, 12, 20},  2,   0,  "Report",   "pages",      "\xF5\x94\x02Report\0pages\0"s},
        FromServerRow{"NoDueCompleted", {0, 0, 0},       3,   1,  "Kettle",   "",           "\xFF\xFF\x83Kettle\0\0"s},
        FromServerRow{"PriorityAbove5", {0, 0, 0},       9,   0,  "a",        "",           "\xFF\xFF\x05" "a\0\0"s},
        FromServerRow{"PriorityBelow1", {0, 0, 0},       0,   1,  "a",        "",           "\xFF\xFF\x81" "a\0\0"s},
        FromServerRow{"YearTooLate",    {2040, 1, 1},    1,   0,  "a",        "",           "\xFF\xFF\x01" "a\0\0"s},
        FromServerRow{"MonthInvalid",   {2026, 13, 1},   1,   0,  "a",        "",           "\xFF\xFF\x01" "a\0\0"s},
        FromServerRow{"NoSuchDay",      {2027, 2, 29},   1,   0,  "a",        "",           "\xFF\xFF\x01" "a\0\0"s},
        FromServerRow{"FirstDay",       {1904, 1, 1},    1,   0,  "a",        "",           "\x00\x21\x01" "a\0\0"s},
        FromServerRow{"CrLfBecomeLf",   {0, 0, 0},       1,   0,  "two\r\nl", "x\r\ny\r\n", "\xFF\xFF\x01two\nl\0x\ny\n\0"s},
        FromServerRow{"NullTexts",      {0, 0, 0},       1,   0,  nullptr,    nullptr,      "\xFF\xFF\x01\0\0"s},
        FromServerRow{"ShiftJis",       {0, 0, 0},       1,   0,  "\x89\xD4", "\x8E\x71",   "\xFF\xFF\x01\x89\xD4\0\x8E\x71\0"s}),
    [](const ::testing::TestParamInfo<FromServerRow>& info) { return info.param.name; });
// clang-format on

// Descriptions keep 255 bytes and notes 4,096, whole characters only.
TEST(ToDoFromServerTexts, LongTextsAreCutOnACharacterBoundary) {
  std::string longName = "xy", longMemo;
  while (longName.size() < 300) longName += kHanako;
  while (longMemo.size() < 5000) longMemo += kHanako;
  ServerToDo todo(kNone, 1, 0, longName, longMemo);
  std::vector<BYTE> out(kPalmSharedBufferSize);
  DWORD size = 0;
  ASSERT_TRUE(buildToDoRecord(todo.rec(), out.data(), static_cast<DWORD>(out.size()), &size));
  ToDoFields f;
  ASSERT_TRUE(parseToDoRecord(out.data(), size, f));
  EXPECT_EQ(f.description, longName.substr(0, 254));  // 255 would split a character
  EXPECT_EQ(f.note, longMemo.substr(0, 4096));
  EXPECT_EQ(size, 3 + 254 + 1 + 4096 + 1u);

  // A small buffer is filled to its end and not a byte further.
  std::vector<BYTE> small(9, 0xEE);
  ASSERT_TRUE(buildToDoRecord(todo.rec(), small.data(), 8, &size));
  EXPECT_EQ(std::string(small.begin(), small.end()), "\xFF\xFF\x01xy\0\0\xEE\xEE"s);
  EXPECT_FALSE(buildToDoRecord(todo.rec(), small.data(), 4, &size));
}

// ---- Handheld to server ----

// Legend: the record bytes, the server's copy (none for a new to-do); the
// server fields that result.
struct ToServerRow {
  const char* name;
  std::string bytes;
  std::optional<ServerToDo> existing;
  __OFFICE_DATE due;
  LONG priority;
  BOOL finish;
  __OFFICE_DATE end;
  std::string todo;
  std::string memo;
};

void PrintTo(const ToServerRow& r, std::ostream* os) { *os << r.name; }

class ToDoToServer : public ::testing::TestWithParam<ToServerRow> {};

TEST_P(ToDoToServer, FillsTheServerToDoAndKeepsWhatTheHandheldCannotHold) {
  const ToServerRow& row = GetParam();
  ToDoFields f;
  ASSERT_TRUE(
      parseToDoRecord(reinterpret_cast<const BYTE*>(row.bytes.data()), static_cast<DWORD>(row.bytes.size()), f));
  std::optional<CGWToDoConstRec> was;
  if (row.existing) was.emplace(&row.existing->data_);
  CGWToDoRec target;
  toDoToServer(f, was ? &*was : nullptr, "Work", kToday, target);
  EXPECT_TRUE(sameDate(target.getDateLimit(), row.due)) << target.getDateLimit().lYear;
  EXPECT_EQ(target.getImportant(), row.priority);
  EXPECT_EQ(target.getFinish(), row.finish);
  EXPECT_TRUE(sameDate(target.getDateEnd(), row.end)) << target.getDateEnd().lYear;
  EXPECT_EQ(target.getName(), row.todo);
  EXPECT_EQ(target.getMemo(), row.memo);
  EXPECT_STREQ(target.getCategory(), "Work");
}

std::string longKanji(size_t bytes) {
  std::string s;
  while (s.size() < bytes) s += kHanako;
  return s;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, ToDoToServer,
    ::testing::Values(
        //          name, record bytes, server's copy (due, priority, finish, name, memo, category, end)
        //          -> due, priority, finish, end, name, memo
        ToServerRow{"NewWithDue", "\xF5\x94\x02Report\0pages\0"s, std::nullopt,
                    {2026, 12, 20}, 2, 0, kNone, "Report", "pages"},
        ToServerRow{"NewCompletedGetsToday", "\xFF\xFF\x83Kettle\0\0"s, std::nullopt,
                    kNone, 3, 1, kToday, "Kettle", ""},
        ToServerRow{"CompletedHereGetsToday", "\xFF\xFF\x83" "a\0\0"s, ServerToDo(kNone, 3, 0, "a", ""),
                    kNone, 3, 1, kToday, "a", ""},
        ToServerRow{"ServerEndDateStays", "\xFF\xFF\x83" "a\0\0"s, ServerToDo(kNone, 3, 1, "a", "", "", {2026, 12, 1}),
                    kNone, 3, 1, {2026, 12, 1}, "a", ""},
        ToServerRow{"ReopenedKeepsEndDate", "\xFF\xFF\x03" "a\0\0"s, ServerToDo(kNone, 3, 1, "a", "", "", {2026, 12, 1}),
                    kNone, 3, 0, {2026, 12, 1}, "a", ""},
        ToServerRow{"PriorityAbove5Kept", "\xFF\xFF\x05" "a\0\0"s, ServerToDo(kNone, 9, 0, "a", ""),
                    kNone, 9, 0, kNone, "a", ""},
        ToServerRow{"PriorityChangedHere", "\xFF\xFF\x04" "a\0\0"s, ServerToDo(kNone, 9, 0, "a", ""),
                    kNone, 4, 0, kNone, "a", ""},
        ToServerRow{"UnholdableDueKept", "\xFF\xFF\x01" "a\0\0"s, ServerToDo({2040, 3, 1}, 1, 0, "a", ""),
                    {2040, 3, 1}, 1, 0, kNone, "a", ""},
        ToServerRow{"DueRemovedHere", "\xFF\xFF\x01" "a\0\0"s, ServerToDo({2026, 3, 1}, 1, 0, "a", ""),
                    kNone, 1, 0, kNone, "a", ""},
        ToServerRow{"CrLfKept", "\xFF\xFF\x01" "a\0x\ny\0"s, ServerToDo(kNone, 1, 0, "a", "x\r\ny"),
                    kNone, 1, 0, kNone, "a", "x\r\ny"},
        ToServerRow{"NoteChangedHere", "\xFF\xFF\x01" "a\0x\nz\0"s, ServerToDo(kNone, 1, 0, "a", "x\r\ny"),
                    kNone, 1, 0, kNone, "a", "x\nz"},
        ToServerRow{"LongNameKept", "\xFF\xFF\x01" + longKanji(300).substr(0, 254) + "\0\0"s,
                    ServerToDo(kNone, 1, 0, longKanji(300), ""),
                    kNone, 1, 0, kNone, longKanji(300), ""},
        // 2027-02-30 and month 0: (123 << 9) | (2 << 5) | 30, (123 << 9) | 5.
        ToServerRow{"ImpossibleDueSentAsNone", "\xF6\x5E\x01" "a\0\0"s, std::nullopt,
                    kNone, 1, 0, kNone, "a", ""},
        ToServerRow{"MonthZeroSentAsNone", "\xF6\x05\x01" "a\0\0"s, std::nullopt,
                    kNone, 1, 0, kNone, "a", ""},
        ToServerRow{"LeapDay", "\xF8\x5D\x01" "a\0\0"s, std::nullopt,
                    {2028, 2, 29}, 1, 0, kNone, "a", ""},
        ToServerRow{"BytesAfterNoteIgnored", "\xFF\xFF\x01" "a\0b\0junk"s, std::nullopt,
                    kNone, 1, 0, kNone, "a", "b"}),
    [](const ::testing::TestParamInfo<ToServerRow>& info) { return info.param.name; });
// clang-format on

// Legend: record bytes that end too early.
struct CutRow {
  const char* name;
  std::string bytes;
};

void PrintTo(const CutRow& r, std::ostream* os) { *os << r.name; }

class ToDoCutShort : public ::testing::TestWithParam<CutRow> {};

TEST_P(ToDoCutShort, IsRefusedWithoutReadingPastItsEnd) {
  // The record's bytes sit at the very end of their own allocation, so a
  // read past them is a read past the buffer.
  const std::string& bytes = GetParam().bytes;
  auto copy = std::make_unique<BYTE[]>(bytes.size() + 1);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  ToDoFields f;
  EXPECT_FALSE(parseToDoRecord(copy.get(), static_cast<DWORD>(bytes.size()), f));
  char id[64] = "stale";
  EXPECT_STREQ(describeToDoRecord(copy.get(), static_cast<DWORD>(bytes.size()), id, sizeof id), "");
  // The HotSync log names it by its id.
  CPalmToDoRecord rec;
  rec.setRawData(copy.get(), static_cast<DWORD>(bytes.size()));
  rec.m_RecId = 0x2a;
  EXPECT_STREQ(rec.getRecIdStr(id, sizeof id), "To Do List record 0x2a");
}

INSTANTIATE_TEST_SUITE_P(Rows, ToDoCutShort,
                         ::testing::Values(CutRow{"Empty", ""s}, CutRow{"HeadOnly", "\xFF\xFF\x01"s},
                                           CutRow{"InDescription", "\xFF\xFF\x01Rep"s},
                                           CutRow{"NoNote", "\xFF\xFF\x01Report\0"s},
                                           CutRow{"InNote", "\xFF\xFF\x01Report\0pag"s}),
                         [](const ::testing::TestParamInfo<CutRow>& info) { return info.param.name; });

// ---- Categories ----

// A To Do List with its new categories (Unfiled, Business, Personal) plus
// the ones a row adds, and the record set and data source of a run.
class ToDoRun : public ::testing::Test {
 protected:
  ToDoRun() {
    const std::string block = *palm::defaultAppInfo(palm::fourCC("todo"));
    categories_.fromBlock(reinterpret_cast<const BYTE*>(block.data()));
  }
  void fill() {
    for (int i = 0; categories_.add(("Full" + std::to_string(i)).c_str()); ++i) {
    }
  }
  std::string fromServer(const ServerToDo& todo, const CPalmRecord* prev = nullptr) {
    written_ = static_cast<CPalmRecord*>(records_.newRecord(1));
    const CGWToDoConstRec rec = todo.rec();
    EXPECT_TRUE(written_->convertGW2HH(&hh_, nullptr, prev, &rec));
    return bytesOf(*written_);
  }

  CPalmCategoryList categories_;
  CPalmRecordSet records_{g_ConduitDef.recordSize, g_ConduitDef.placeRecord};
  SyncTimeStore times_{g_ConduitDef.timeSlot};
  CPalmLSDataSrc hh_{&categories_, &records_, &times_, "ToDoDB", 0, g_ConduitDef.creator};
  CPalmRecord* written_ = nullptr;
};

TEST_F(ToDoRun, ServerCategoriesAreFoundOrAddedByName) {
  EXPECT_EQ(fromServer(ServerToDo(kNone, 1, 0, "x", "", "Personal")), "\xFF\xFF\x01x\0\0"s);
  EXPECT_EQ(written_->m_CatIndex, 2);
  fromServer(ServerToDo(kNone, 1, 0, "b", "", "Errands"));
  EXPECT_EQ(written_->m_CatIndex, 3);
  EXPECT_STREQ(categories_.at(3).m_Name, "Errands");
  fromServer(ServerToDo(kNone, 1, 0, "c", "", ""));
  EXPECT_EQ(written_->m_CatIndex, 0);
  // A name longer than the handheld holds is found by its first 15 bytes.
  fromServer(ServerToDo(kNone, 1, 0, "d", "", "A rather long category"));
  EXPECT_STREQ(categories_.at(written_->m_CatIndex).m_Name, "A rather long c");
  fromServer(ServerToDo(kNone, 1, 0, "e", "", "A rather long category"));
  EXPECT_EQ(written_->m_CatIndex, 4);
}

TEST_F(ToDoRun, AFullCategoryListLeavesTheToDoUnfiled) {
  fill();
  EXPECT_EQ(fromServer(ServerToDo(kNone, 2, 0, "Overflowing", "", "Overflow")), "\xFF\xFF\x02Overflowing\0\0"s);
  EXPECT_EQ(written_->m_CatIndex, 0);
  EXPECT_EQ(categories_.indexOf("Overflow"), -1);
}

TEST_F(ToDoRun, APrivateToDoStaysPrivate) {
  CPalmToDoRecord prev;
  prev.m_Flags = PALMREC_PRIVATE | PALMREC_MODIFIED;
  fromServer(ServerToDo(kNone, 1, 0, "Secret", ""), &prev);
  EXPECT_EQ(written_->m_Flags, PALMREC_PRIVATE);
  prev.m_Flags = PALMREC_MODIFIED;
  fromServer(ServerToDo(kNone, 1, 0, "Public", ""), &prev);
  EXPECT_EQ(written_->m_Flags, 0);
}

// Legend: the handheld category index, the server copy's category (null:
// no copy), the server's list; the server category the to-do goes to.
struct CategoryRow {
  const char* name;
  WORD index;
  const char* existing;
  std::vector<std::string> server;
  const char* expected;
};

void PrintTo(const CategoryRow& r, std::ostream* os) { *os << r.name; }

class ServerCategory : public ToDoRun, public ::testing::WithParamInterface<CategoryRow> {};

TEST_P(ServerCategory, IsMatchedByName) {
  categories_.add("Golf");             // 3
  categories_.add("A rather long c");  // 4
  const CategoryRow& row = GetParam();
  if (std::string(row.name).rfind("Full", 0) == 0) fill();
  EXPECT_EQ(serverCategoryFor(row.index, categories_, row.existing, row.server), row.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, ServerCategory,
    ::testing::Values(
        //          name                    index existing               server's list                  goes to
        CategoryRow{"Unfiled",              0,    nullptr,               {"Golf"},                      ""},
        CategoryRow{"UnfiledNow",           0,    "Golf",                {"Golf"},                      ""},
        CategoryRow{"Known",                3,    nullptr,               {"Work", "Golf"},              "Golf"},
        CategoryRow{"NewToServer",          3,    nullptr,               {"Work"},                      "Golf"},
        CategoryRow{"CaseDiffers",          3,    nullptr,               {"golf"},                      "Golf"},
        CategoryRow{"LongServerName",       4,    nullptr,               {"A rather long category"},    "A rather long category"},
        CategoryRow{"ExactBeforeLong",      4,    nullptr,               {"A rather long category", "A rather long c"},
                    "A rather long c"},
        CategoryRow{"CopysLongNameKept",    4,    "A rather long cat 2", {"A rather long category"},    "A rather long cat 2"},
        CategoryRow{"MovedHere",            3,    "Personal",            {"Golf", "Personal"},          "Golf"},
        CategoryRow{"UnusedIndex",          9,    nullptr,               {},                            ""},
        CategoryRow{"FullListKeepsServers", 0,    "Overflow",            {"Overflow"},                  "Overflow"}),
    [](const ::testing::TestParamInfo<CategoryRow>& info) { return info.param.name; });
// clang-format on

TEST(ToDoRecIdStr, TheDescriptionCutWithDots) {
  auto idOf = [](const std::string& data, int length) {
    CPalmToDoRecord rec;
    rec.setRawData(reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    char buffer[64];
    return std::string(rec.getRecIdStr(buffer, length));
  };
  EXPECT_EQ(idOf("\xFF\xFF\x01Shopping\0milk\0"s, 64), "Shopping");
  EXPECT_EQ(idOf("\xFF\xFF\x01Shopping\0milk\0"s, 8), "Shop...");
  EXPECT_EQ(idOf("\xFF\xFF\x01" + kHanako + kHanako + "\0\0"s, 7), kHanako.substr(0, 2) + "...");
}

TEST(ToDoConduit, ConstantsAndResources) {
  EXPECT_EQ(g_ConduitDef.kind, static_cast<DWORD>(CONDUIT_TODO));
  EXPECT_STREQ(g_ConduitDef.tag, "todo");
  EXPECT_EQ(g_ConduitDef.creator, palm::fourCC("todo"));
  EXPECT_EQ(g_ConduitDef.timeSlot, 2);
  char caption[64];
  EXPECT_STRNE(conduitText(CONDRES_CAPTION, caption, sizeof caption), "");
}

}  // namespace
