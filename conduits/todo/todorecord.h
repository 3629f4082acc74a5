// The handheld To Do List record and its conversion to and from the
// server's to-dos. A record is a u16 due date (0xFFFF: none), a priority
// byte (1..5, 0x80 when completed), the description and the note, each
// with its NUL.
//
//   ToDoFields f;
//   if (!parseToDoRecord(rec.data(), rec.dataSize(), f)) ...   // cut short
//   toDoToServer(f, existing, "Work", today, newToDo);
//   toDoFromServer(rec, categoryIndex, previous, serverToDo);
//
// Whatever one side cannot hold stays on the side that has it: the server's
// end date, a priority outside 1..5, a due date the handheld cannot hold,
// texts longer than the handheld's and CR LF line ends survive a change made
// on the handheld; the private mark survives a change made on the server.
// The record class gathers its inputs from the data sources and calls the
// plain functions below, which the tests drive directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "conduits/common/palmdatasrc.h"
#include "synccore/gwtodo.h"

constexpr WORD kToDoNoDueDate = 0xFFFF;
constexpr BYTE kToDoCompleted = 0x80;
// Bytes the handheld keeps of a description and of a note.
constexpr int kToDoDescriptionMax = 255;
constexpr int kToDoNoteMax = 4096;

// A handheld record taken apart; the texts point into the record's data.
struct ToDoFields {
  WORD due = kToDoNoDueDate;
  int priority = 1;  // low 7 bits of the priority byte
  bool completed = false;
  std::string_view description;
  std::string_view note;
};

// Reads size bytes of a record. False when it ends before the note's NUL
// (or before its 3-byte head); never reads past size.
bool parseToDoRecord(const BYTE* data, DWORD size, ToDoFields& out);

// The handheld date of a server date; kToDoNoDueDate for none (all zero) and
// for a date the handheld cannot hold (years 1904..2031 only).
WORD handheldDate(const __OFFICE_DATE& date);
// The server date of a handheld date; all zero for kToDoNoDueDate and for a
// day the calendar does not have (2027-02-30, month 0), which the server
// would refuse together with every change of the run.
__OFFICE_DATE serverDate(WORD date);
// A server priority as the handheld holds it: 1..5, clamped.
int handheldPriority(LONG priority);

// Builds a record for a server to-do into out (outSize bytes): due date,
// priority, description (at most kToDoDescriptionMax bytes) and note (at
// most kToDoNoteMax bytes), CR LF turned into LF, cut between characters.
// *size gets the bytes written. False when outSize is under 5 bytes.
bool buildToDoRecord(const CGWToDoConstRec& todo, BYTE* out, DWORD outSize, DWORD* size);

// Which server category a handheld to-do in category index goes to, given
// the handheld's list, the category of the server's copy (null: none) and
// the server's category names:
// - Unfiled (index 0) or an unused index gives "", unless the server's copy
//   is in a category the handheld does not have (its list was full): that
//   one is kept;
// - a category whose handheld form is the server copy's category keeps the
//   server's (longer) name;
// - else the server category of that very name, else the first whose
//   handheld form (15 bytes) is the name, else the name itself (new).
std::string serverCategoryFor(WORD index, const CPalmCategoryList& categories, const char* existingCategory,
                              const std::vector<std::string>& serverCategories);

// Handheld to server: fills target from f, the category name and, when the
// server has a copy (existing, may be null), what the handheld cannot hold.
// today is the end date given to a to-do completed on the handheld.
void toDoToServer(const ToDoFields& f, const CGWToDoConstRec* existing, const std::string& category,
                  const __OFFICE_DATE& today, CGWToDoConstRec& target);

// Server to handheld: builds rec's data from todo, puts rec in
// categoryIndex and keeps the private mark of prev (null, or deleted, =
// none). False when rec's buffer is under 5 bytes.
bool toDoFromServer(CPalmRecord& rec, int categoryIndex, const CPalmRecord* prev, const CGWToDoConstRec& todo);

// The description into buffer (length bytes, cut with "..."); empty for a
// record that cannot be read. Answers buffer.
char* describeToDoRecord(const BYTE* data, DWORD size, char* buffer, int length);

// A To Do List record of the handheld.
class CPalmToDoRecord : public CPalmRecord {
 public:
  explicit CPalmToDoRecord(BYTE* sharedBuffer = nullptr) : CPalmRecord(sharedBuffer) {}

  // gw must be a CGWToDoDataSrc and target a CGWToDoRec. A handheld category
  // the server lacks is added to the server's list and the list committed
  // first. False for a record cut short (the engine reports and skips it).
  bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) override;
  // source must be a to-do. A category that does not fit on the handheld
  // leaves the to-do in Unfiled and says so in the HotSync log.
  bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) override;
  // As describeToDoRecord; a record cut short is named by resource string
  // 9 and its id ("To Do List record 0x2a").
  char* getRecIdStr(char* buffer, int length) const override;
  // The base trace line; at level 10 also the fields.
  void trace() const override;
  int getSize() const override { return sizeof(CPalmToDoRecord); }
};

// Places a CPalmToDoRecord in memory (PalmRecordPlacer).
CPalmRecord* placeToDoRecord(void* memory, BYTE* sharedBuffer);
