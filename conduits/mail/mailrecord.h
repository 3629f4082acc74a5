// The handheld Mail record and its conversion to and from the server's mail.
// A record is a date, an hour and a minute, flags, then eight texts each
// with its NUL: subject, from, to, cc, bcc, reply-to, sent-to, body.
//
//   CPalmMailRecord rec(sharedBuffer);
//   mailFromServer(rec.buffer(), rec.bufferSize(), mail, pref.bodyLimit(), &size);
//   mailToServer(rec.data(), rec.dataSize(), newMail);
//
// The record class only gathers its inputs from the data sources and calls
// the plain functions below, which the tests drive directly.
#pragma once

#include <string_view>

#include "conduits/common/palmdatasrc.h"
#include "conduits/mail/maildatasrc.h"
#include "synccore/gwmail.h"

constexpr DWORD kMailHeaderSize = 6;                                // date, hour, minute, flags
constexpr int kMailTextCount = 8;                                   // subject ... body
constexpr DWORD kMailMinRecord = kMailHeaderSize + kMailTextCount;  // every text empty
constexpr WORD kMailFlagRead = 0x8000;
constexpr WORD kMailFlagNormalPriority = 0x0400;
constexpr int kMailSubjectMax = 64;   // bytes of subject with its NUL
constexpr int kMailAddressMax = 512;  // bytes of to and cc, cut at an address

// The handheld date (bits 15..9 year - 1904, 8..5 month, 4..0 day), hour and
// minute of a server time: 0, 0, 0 when localtime cannot convert it; a year
// before 1904 gives 1904-01-01 00:00, one after 2031 2031-12-31 23:59.
void mailDateFromTime(LONG timeSent, WORD* date, BYTE* hour, BYTE* minute);

// The eight texts of size bytes of record data; a text the data does not
// hold (or whose NUL is missing: cut at the end) is empty. Never reads past
// size.
void splitMailTexts(const BYTE* data, DWORD size, std::string_view texts[kMailTextCount]);

// Handheld to server: subject, from, to, cc, bcc, reply-to and body into
// target, each null when empty (sent-to is not sent); the content type
// "text/plain". Date, time and flags stay on the handheld.
void mailToServer(const BYTE* data, DWORD size, CGWMailConstRec& target);

// Server to handheld into out (outSize bytes): date, time, flags (0x8400
// read, 0x0400 unread), then the texts: the subject up to 63 bytes (longer:
// cut with "..."), to and cc up to 511 bytes cut after a whole address, the
// body up to bodyLimit bytes as sent (longer: cut, CR LF as LF, "..."),
// sent-to empty. The texts share what outSize leaves, earlier ones first,
// and a text is cut down to empty rather than written past the buffer: the
// record always holds its eight texts. *size gets the bytes written. False
// when outSize is under kMailMinRecord bytes.
bool mailFromServer(BYTE* out, DWORD outSize, const CGWMailConstRec& mail, WORD bodyLimit, DWORD* size);

// Whether the preference lets a server mail onto the handheld: sync type 2,
// a mail matching a non-empty filter text (substring of its to, from or
// subject) when includeMatching is 1, one matching none when it is 0; sync
// type 3 unread mail only; every mail otherwise.
bool mailPassesFilter(const MailSyncPref& pref, const CGWMailConstRec& mail);

// A handheld Mail record.
class CPalmMailRecord : public CPalmRecord {
 public:
  explicit CPalmMailRecord(BYTE* sharedBuffer = nullptr) : CPalmRecord(sharedBuffer) {}

  // target must be a CGWMailRec; as mailToServer.
  bool convertHH2GW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* existing, CGWRecord* target) override;
  // The preference's filter of hh (a PalmLSMailDataSrc; any other takes
  // every mail); *msgCode is always 0.
  bool acceptFromGW(CHHDataSrc* hh, CGWDataSrc* gw, const CGWRecord* record, DWORD* msgCode) override;
  // As mailFromServer with the truncation size of hh's preference; the
  // category is left as it is (a new record is in category 0).
  bool convertGW2HH(CHHDataSrc* hh, CGWDataSrc* gw, const CHHRecord* existing, const CGWRecord* source) override;
  // String 11 of the resource library.
  char* getRecIdStr(char* buffer, int length) const override;
  int getSize() const override { return sizeof(CPalmMailRecord); }
};

// Places a CPalmMailRecord in memory (PalmRecordPlacer).
CPalmRecord* placeMailRecord(void* memory, BYTE* sharedBuffer);
