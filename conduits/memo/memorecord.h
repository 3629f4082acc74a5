// The handheld Memo Pad record and its conversion to and from the server's
// memos. A memo is one text: its first line is the server memo's title, the
// rest its body.
//
//   CPalmMemoRecord rec(sharedBuffer);                 // a record to be written
//   memoFromServer(rec, categoryIndex, previous, memo);
//   memoToServer(rec, newMemo);
//
// The record class only gathers its inputs from the data sources and calls
// the plain functions below, which the tests drive directly.
#pragma once

#include <string_view>

#include "conduits/common/palmdatasrc.h"
#include "synccore/gwmemo.h"

// Bytes of text a record written to the handheld holds at most; the text is
// followed by its NUL and one more zero byte.
constexpr DWORD kMemoTextMax = 4096;

// A memo's text split at its first line feed; either part may be absent.
struct MemoParts {
  bool hasTitle = false;
  bool hasBody = false;
  std::string_view title;
  std::string_view body;
};

// Splits size bytes of a record: the text runs to the first NUL, or to the
// end of the data when there is none. The title is what stands before the
// first line feed (all of the text without one), the body what follows it;
// an empty part is absent. Never reads past size.
MemoParts splitMemo(const BYTE* data, DWORD size);

// Builds a record for a server memo into out (outSize bytes): the title, a
// line feed, the body with CR LF turned into LF, the NUL and one more zero
// byte. The text keeps to min(outSize - 2, kMemoTextMax) bytes, cut at a
// character boundary (the title leaves room for its line feed). *size gets
// the bytes written. False when outSize is under 3 bytes.
bool buildMemoRecord(const char* title, const char* body, BYTE* out, DWORD outSize, DWORD* size);

// Handheld to server: the title and body of rec's text into target (absent
// parts set as null).
void memoToServer(const CPalmRecord& rec, CGWMemoConstRec& target);

// Server to handheld: builds rec's data from memo, puts rec in categoryIndex
// and keeps the private flag of prev (null, or deleted, = none). False when
// rec's buffer is under 3 bytes.
bool memoFromServer(CPalmRecord& rec, int categoryIndex, const CPalmRecord* prev, const CGWMemoConstRec& memo);

// The memo's text into buffer (length bytes, cut with "..."); empty for an
// empty memo. Answers buffer.
char* describeMemoRecord(const BYTE* data, DWORD size, char* buffer, int length);

// A Memo Pad record of the handheld.
class CPalmMemoRecord : public CPalmRecord {
 public:
  explicit CPalmMemoRecord(BYTE* sharedBuffer = nullptr) : CPalmRecord(sharedBuffer) {}

  // target must be a CGWMemoRec; as memoToServer.
  bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) override;
  // hh must be a CPalmLSMemoDataSrc, source a memo; as memoFromServer, in the
  // product category (added when missing). False when it cannot be added.
  bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) override;
  // As describeMemoRecord.
  char* getRecIdStr(char* buffer, int length) const override;
  // The base trace line; at level 10 also the sizes of title and body.
  void trace() const override;
  int getSize() const override { return sizeof(CPalmMemoRecord); }
};

// Places a CPalmMemoRecord in memory (PalmRecordPlacer).
CPalmRecord* placeMemoRecord(void* memory, BYTE* sharedBuffer);
