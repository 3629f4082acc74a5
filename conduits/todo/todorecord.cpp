// The To Do List record: taking it apart, building it from a server to-do,
// and matching categories by name with the server's to-do categories.
#include "conduits/todo/todorecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "conduits/common/conduit.h"
#include "log/log.h"
#include "log/msgids.h"
#include "synccore/helpers.h"

namespace {

// One NUL-terminated text at `at`; false when no NUL follows within the data.
bool takeText(const BYTE* data, DWORD size, DWORD& at, std::string_view& out) {
  if (at > size) return false;
  const char* text = reinterpret_cast<const char*>(data) + at;
  const void* nul = std::memchr(text, '\0', size - at);
  if (!nul) return false;
  out = {text, static_cast<size_t>(static_cast<const char*>(nul) - text)};
  at += static_cast<DWORD>(out.size()) + 1;
  return true;
}

// A server text as the handheld holds it: at most max bytes, cut between
// characters, CR LF as LF.
std::string handheldText(const char* text, int max) {
  std::string out(static_cast<size_t>(max) + 1, '\0');
  const int used = copyDbcsText(out.data(), text ? text : "", max + 1, DBCS_CRLF_TO_LF, nullptr);
  out.resize(used > 0 ? static_cast<size_t>(used - 1) : 0);
  return out;
}

// A category name as the handheld's list holds it (15 bytes at most).
std::string handheldCategory(const char* name) {
  char out[sizeof(CPalmCategory::m_Name)] = {};
  copyDbcsText(out, name ? name : "", sizeof out, DBCS_COPY, nullptr);
  return out;
}

bool isNoDate(const __OFFICE_DATE& d) { return d.lYear == 0 && d.lMonth == 0 && d.lDay == 0; }

// A day that exists in the calendar.
bool isCalendarDate(LONG year, LONG month, LONG day) {
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month != 2 || day <= 28 || leap;
}

__OFFICE_DATE localToday() {
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

// The server refuses a category name with a line break; the commit escapes
// every other byte.
bool committable(const std::string& name) { return name.find_first_of("\r\n") == std::string::npos; }

// The server's category names; the first call of a run fetches them.
std::vector<std::string> serverCategories(CToDoConnection& conn) {
  std::vector<std::string> names;
  for (const char* n = conn.FindFirstCategory(); n; n = conn.FindNextCategory()) names.emplace_back(n);
  return names;
}

}  // namespace

bool parseToDoRecord(const BYTE* data, DWORD size, ToDoFields& out) {
  if (!data || size < 3) return false;
  ToDoFields f;
  f.due = static_cast<WORD>(data[0] << 8 | data[1]);
  f.completed = (data[2] & kToDoCompleted) != 0;
  f.priority = data[2] & 0x7F;
  DWORD at = 3;
  if (!takeText(data, size, at, f.description) || !takeText(data, size, at, f.note)) return false;
  out = f;
  return true;
}

WORD handheldDate(const __OFFICE_DATE& d) {
  if (d.lYear < 1904 || d.lYear > 2031 || !isCalendarDate(d.lYear, d.lMonth, d.lDay)) return kToDoNoDueDate;
  return static_cast<WORD>((d.lYear - 1904) << 9 | d.lMonth << 5 | d.lDay);
}

__OFFICE_DATE serverDate(WORD date) {
  const __OFFICE_DATE d{1904 + (date >> 9), (date >> 5) & 0xF, date & 0x1F};
  if (date == kToDoNoDueDate || !isCalendarDate(d.lYear, d.lMonth, d.lDay)) return {};
  return d;
}

int handheldPriority(LONG priority) { return static_cast<int>(std::clamp<LONG>(priority, 1, 5)); }

bool buildToDoRecord(const CGWToDoConstRec& todo, BYTE* out, DWORD outSize, DWORD* size) {
  if (!out || outSize < 5) return false;
  const WORD due = handheldDate(todo.getDateLimit());
  out[0] = static_cast<BYTE>(due >> 8);
  out[1] = static_cast<BYTE>(due);
  out[2] = static_cast<BYTE>(handheldPriority(todo.getImportant()) | (todo.getFinish() ? kToDoCompleted : 0));
  // Room for both texts and their NULs; the description leaves the note's NUL.
  char* text = reinterpret_cast<char*>(out) + 3;
  const int room = static_cast<int>(std::min<DWORD>(outSize - 3, 0x7FFFFFFF));
  int used = copyDbcsText(text, todo.getName(), std::min(room - 1, kToDoDescriptionMax + 1), DBCS_CRLF_TO_LF, nullptr);
  used += copyDbcsText(text + used, todo.getMemo(), std::min(room - used, kToDoNoteMax + 1), DBCS_CRLF_TO_LF, nullptr);
  *size = static_cast<DWORD>(used) + 3;
  return true;
}

std::string serverCategoryFor(WORD index, const CPalmCategoryList& categories, const char* existingCategory,
                              const std::vector<std::string>& serverNames) {
  const bool existingNamed = existingCategory && existingCategory[0];
  if (index == 0 || index >= kPalmCategoryCount || !categories.at(index).isValid()) {
    // Left in Unfiled because the handheld had no room for its category.
    if (existingNamed && categories.indexOf(existingCategory) < 0) return existingCategory;
    return "";
  }
  const std::string name(categories.at(index).m_Name, strnlen(categories.at(index).m_Name, 16));
  if (existingNamed && handheldCategory(existingCategory) == name) return existingCategory;
  if (std::find(serverNames.begin(), serverNames.end(), name) != serverNames.end()) return name;
  for (const std::string& s : serverNames)
    if (handheldCategory(s.c_str()) == name) return s;
  return name;
}

void toDoToServer(const ToDoFields& f, const CGWToDoConstRec* existing, const std::string& category,
                  const __OFFICE_DATE& today, CGWToDoConstRec& target) {
  const __TODO_DATA* was = existing ? existing->data() : nullptr;
  // A field the handheld holds as the server's copy gave it has not been
  // changed there: the server's own value stays.
  target.setDateLimit(was && handheldDate(was->dateLimit) == f.due ? was->dateLimit : serverDate(f.due));
  target.setImportant(was && handheldPriority(was->nPriority) == f.priority ? was->nPriority : f.priority);
  target.setFinish(f.completed ? 1 : 0);
  __OFFICE_DATE end = was ? was->dateEnd : __OFFICE_DATE{};
  if (f.completed && !(was && was->bFinish) && isNoDate(end)) end = today;
  target.setDateEnd(end);
  const std::string description(f.description), note(f.note);
  target.setName(was && handheldText(was->pszName, kToDoDescriptionMax) == description ? was->pszName
                                                                                       : description.c_str());
  target.setMemo(was && handheldText(was->pszMemo, kToDoNoteMax) == note ? was->pszMemo : note.c_str());
  target.setCategory(category.c_str());
}

bool toDoFromServer(CPalmRecord& rec, int categoryIndex, const CPalmRecord* prev, const CGWToDoConstRec& todo) {
  DWORD size = 0;
  if (!rec.buffer() || !buildToDoRecord(todo, rec.buffer(), rec.bufferSize(), &size)) return false;
  rec.setDataSize(size);
  rec.m_CatIndex = static_cast<WORD>(categoryIndex);
  // The server knows nothing of privacy: a private to-do stays private.
  if (prev && !(prev->m_Flags & PALMREC_DELETED) && (prev->m_Flags & PALMREC_PRIVATE)) rec.m_Flags |= PALMREC_PRIVATE;
  return true;
}

char* describeToDoRecord(const BYTE* data, DWORD size, char* buffer, int length) {
  ToDoFields f;
  const std::string description = parseToDoRecord(data, size, f) ? std::string(f.description) : std::string();
  copyDbcsText(buffer, description.c_str(), length, DBCS_COPY, "...");
  return buffer;
}

bool CPalmToDoRecord::convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) {
  auto* todos = dynamic_cast<CGWToDoDataSrc*>(gw);
  auto* palm = dynamic_cast<CPalmLSDataSrc*>(hh);
  if (!palm || !todos || !target) return false;
  ToDoFields f;
  if (!parseToDoRecord(data(), dataSize(), f)) {
    g_TraceObj.write(1, "CPalmToDoRecord|*ERR* record 0x%x ends inside its texts (%d bytes)\n", m_RecId,
                     static_cast<int>(dataSize()));
    return false;
  }
  const auto* was = static_cast<const CGWToDoConstRec*>(existing);
  CToDoConnection& conn = todos->connection();
  const std::vector<std::string> names = serverCategories(conn);
  const std::string category =
      serverCategoryFor(m_CatIndex, *palm->palmCategories(), was ? was->getCategory() : nullptr, names);
  // A category new to the server joins its list before the to-do that
  // uses it is committed. The to-do carries its category name either way.
  if (!category.empty() && std::find(names.begin(), names.end(), category) == names.end()) {
    if (!committable(category))
      g_TraceObj.write(1, "CPalmToDoRecord|category \"%s\" cannot be added to the server's list\n", category.c_str());
    else if (!conn.SetCategory(category.c_str()) || !conn.CommitCategory())
      g_TraceObj.write(1, "CPalmToDoRecord|*ERR* category \"%s\" not added to the server's list\n", category.c_str());
    else g_TraceObj.write(9, "CPalmToDoRecord|category \"%s\" added to the server's list\n", category.c_str());
  }
  toDoToServer(f, was, category, localToday(), *static_cast<CGWToDoConstRec*>(target));
  return true;
}

bool CPalmToDoRecord::convertGW2HH(CHHDataSrc* hh, CGWDataSrc*, const CHHRecord* existing, const CGWRecord* source) {
  auto* palm = dynamic_cast<CPalmLSDataSrc*>(hh);
  if (!palm || !source) return false;
  const auto& todo = *static_cast<const CGWToDoConstRec*>(source);
  CPalmCategoryList& categories = *palm->palmCategories();
  int index = 0;
  const char* category = todo.getCategory();
  if (category && category[0]) {
    // The engine has added a missing category when the list had room.
    index = categories.indexOf(category);
    if (index < 0) {
      if (CHHCategory* added = categories.add(category)) index = static_cast<CPalmCategory*>(added)->m_Index;
    }
    if (index < 0) {
      // Both cut between characters, so the log line stays whole.
      char description[64], name[64];
      todo.getRecIdStr(description, sizeof description);
      copyDbcsText(name, category, sizeof name, DBCS_COPY, "...");
      g_TraceObj.write(1, "CPalmToDoRecord|no free category for \"%s\": \"%s\" stays in Unfiled\n", name, description);
      Log::writeLog(MSG_TODO_NO_CATEGORY, name, description);
      index = 0;
    }
  }
  return toDoFromServer(*this, index, static_cast<const CPalmRecord*>(existing), todo);
}

char* CPalmToDoRecord::getRecIdStr(char* buffer, int length) const {
  ToDoFields f;
  if (parseToDoRecord(data(), dataSize(), f)) return describeToDoRecord(data(), dataSize(), buffer, length);
  return damagedRecordText(m_RecId, buffer, length);
}

void CPalmToDoRecord::trace() const {
  CPalmRecord::trace();
  if (!g_TraceObj.shouldTrace(10)) return;
  ToDoFields f;
  if (!parseToDoRecord(data(), dataSize(), f)) {
    g_TraceObj.write(10, "  (cut short)\n");
    return;
  }
  g_TraceObj.write(10, "  due:0x%04x priority:%d completed:%d description:%db note:%db\n", f.due, f.priority,
                   f.completed ? 1 : 0, static_cast<int>(f.description.size()), static_cast<int>(f.note.size()));
}

CPalmRecord* placeToDoRecord(void* memory, BYTE* sharedBuffer) { return new (memory) CPalmToDoRecord(sharedBuffer); }
