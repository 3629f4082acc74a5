// The handheld Mail record: reading its texts for the server, building it
// from a server mail, and the preference's filter.
#include "conduits/mail/mailrecord.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "conduits/common/conduit.h"
#include "log/log.h"
#include "synccore/helpers.h"

namespace {

WORD packDate(int year, int month, int day) { return static_cast<WORD>((year - 1904) << 9 | month << 5 | day); }

const char* orEmpty(const char* text) { return text ? text : ""; }

// To and cc: whole when they fit, else cut after the last comma that leaves
// room for the NUL, so that no address arrives half written.
int copyAddresses(char* dst, const char* src, int room) {
  const size_t len = std::strlen(src);
  if (len < static_cast<size_t>(kMailAddressMax) && len < static_cast<size_t>(room))
    return copyDbcsText(dst, src, room, DBCS_COPY, nullptr);
  const size_t limit = static_cast<size_t>(std::min(room, kMailAddressMax));
  size_t keep = 0;
  for (size_t i = 0; i < len && i + 2 <= limit;) {
    if (src[i] == ',') keep = i + 1;
    i += isDbcsLeadByte(static_cast<unsigned char>(src[i])) && src[i + 1] ? 2 : 1;
  }
  std::memcpy(dst, src, keep);
  dst[keep] = '\0';
  return static_cast<int>(keep) + 1;
}

int copyBody(char* dst, const char* src, int room, int limit) {
  const size_t len = std::strlen(src);
  if (len < static_cast<size_t>(limit) && static_cast<long>(len) < room - 1)
    return copyDbcsText(dst, src, std::min(room, limit), DBCS_COPY, nullptr);
  const int b = std::min(room, limit + 1) - 4;
  // Too little room for the mark: the text is only cut.
  if (b < 1) return copyDbcsText(dst, src, room, DBCS_CRLF_TO_LF, nullptr);
  const int n = copyDbcsText(dst, src, b, DBCS_CRLF_TO_LF, nullptr);
  std::memcpy(dst + n - 1, "...", 4);
  return n + 3;
}

}  // namespace

void mailDateFromTime(LONG timeSent, WORD* date, BYTE* hour, BYTE* minute) {
  *date = 0;
  *hour = 0;
  *minute = 0;
  const time_t t = timeSent;
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return;
  const int year = tm.tm_year + 1900;
  // Seven bits of year: anything else would run into the month.
  if (year < 1904) {
    *date = packDate(1904, 1, 1);
  } else if (year > 2031) {
    *date = packDate(2031, 12, 31);
    *hour = 23;
    *minute = 59;
  } else {
    *date = packDate(year, tm.tm_mon + 1, tm.tm_mday);
    *hour = static_cast<BYTE>(tm.tm_hour);
    *minute = static_cast<BYTE>(tm.tm_min);
  }
}

void splitMailTexts(const BYTE* data, DWORD size, std::string_view texts[kMailTextCount]) {
  DWORD pos = kMailHeaderSize;
  for (int i = 0; i < kMailTextCount; ++i) {
    if (!data || pos >= size) {
      texts[i] = {};
      continue;
    }
    const char* start = reinterpret_cast<const char*>(data + pos);
    const void* nul = std::memchr(start, '\0', size - pos);
    const DWORD len = nul ? static_cast<DWORD>(static_cast<const char*>(nul) - start) : size - pos;
    texts[i] = {start, len};
    pos += len + 1;
  }
}

void mailToServer(const BYTE* data, DWORD size, CGWMailConstRec& target) {
  std::string_view texts[kMailTextCount];
  splitMailTexts(data, size, texts);
  auto set = [&](void (CGWMailConstRec::*setter)(const char*), int index) {
    const std::string text(texts[index]);
    (target.*setter)(text.empty() ? nullptr : text.c_str());
  };
  set(&CGWMailConstRec::setSubject, 0);
  set(&CGWMailConstRec::setFrom, 1);
  set(&CGWMailConstRec::setTo, 2);
  set(&CGWMailConstRec::setCC, 3);
  set(&CGWMailConstRec::setBCC, 4);
  set(&CGWMailConstRec::setReplyTo, 5);
  set(&CGWMailConstRec::setData, 7);
  target.setContentType("text/plain");
}

bool mailFromServer(BYTE* out, DWORD outSize, const CGWMailConstRec& mail, WORD bodyLimit, DWORD* size) {
  if (!out || outSize < kMailMinRecord) return false;
  WORD date;
  BYTE hour, minute;
  mailDateFromTime(mail.getTimeSent(), &date, &hour, &minute);
  const WORD flags = mail.getRead() ? (kMailFlagRead | kMailFlagNormalPriority) : kMailFlagNormalPriority;
  out[0] = static_cast<BYTE>(date >> 8);
  out[1] = static_cast<BYTE>(date);
  out[2] = hour;
  out[3] = minute;
  out[4] = static_cast<BYTE>(flags >> 8);
  out[5] = static_cast<BYTE>(flags);

  const int end = static_cast<int>(std::min<DWORD>(outSize, 0x7FFFFFFF));
  int pos = static_cast<int>(kMailHeaderSize);
  char* text = reinterpret_cast<char*>(out);
  // The bytes a text may take with its NUL: what is left after one NUL for
  // each text still to come.
  auto room = [&](int later) { return end - pos - later; };

  const char* subject = orEmpty(mail.getSubject());
  const int subjectRoom = std::min(kMailSubjectMax, room(7));
  pos += copyDbcsText(text + pos, subject, subjectRoom, DBCS_COPY,
                      std::strlen(subject) < static_cast<size_t>(subjectRoom) ? nullptr : "...");
  pos += copyDbcsText(text + pos, orEmpty(mail.getFrom()), room(6), DBCS_COPY, nullptr);
  pos += copyAddresses(text + pos, orEmpty(mail.getTo()), room(5));
  pos += copyAddresses(text + pos, orEmpty(mail.getCC()), room(4));
  pos += copyDbcsText(text + pos, orEmpty(mail.getBCC()), room(3), DBCS_COPY, nullptr);
  pos += copyDbcsText(text + pos, orEmpty(mail.getReplyTo()), room(2), DBCS_COPY, nullptr);
  text[pos++] = '\0';  // sent-to
  pos += copyBody(text + pos, orEmpty(mail.getData()), room(0), bodyLimit ? bodyLimit : kMailDefaultTruncation);
  *size = static_cast<DWORD>(pos);
  return true;
}

bool mailPassesFilter(const MailSyncPref& pref, const CGWMailConstRec& mail) {
  if (pref.syncType == MAILSYNC_FILTER) {
    auto contains = [](const char* text, const char* filter) {
      return filter[0] != '\0' && text && std::strstr(text, filter) != nullptr;
    };
    const bool matched = contains(mail.getTo(), pref.filterTo) || contains(mail.getFrom(), pref.filterFrom) ||
                         contains(mail.getSubject(), pref.filterSubject);
    return matched == (pref.includeMatching != 0);
  }
  if (pref.syncType == MAILSYNC_UNREAD) return !mail.getRead();
  return true;
}

bool CPalmMailRecord::convertHH2GW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, CGWRecord* target) {
  if (!target) return false;
  mailToServer(data(), dataSize(), *static_cast<CGWMailConstRec*>(target));
  return true;
}

bool CPalmMailRecord::acceptFromGW(CHHDataSrc* hh, CGWDataSrc*, const CGWRecord* record, DWORD* msgCode) {
  if (msgCode) *msgCode = 0;
  if (!record) return false;
  const auto* mails = dynamic_cast<const PalmLSMailDataSrc*>(hh);
  if (!mails) return true;
  return mailPassesFilter(mails->pref(), *static_cast<const CGWMailConstRec*>(record));
}

bool CPalmMailRecord::convertGW2HH(CHHDataSrc* hh, CGWDataSrc*, const CHHRecord*, const CGWRecord* source) {
  if (!source || !buffer()) return false;
  const auto* mails = dynamic_cast<const PalmLSMailDataSrc*>(hh);
  const WORD limit = mails ? mails->pref().bodyLimit() : kMailDefaultTruncation;
  DWORD size = 0;
  if (!mailFromServer(buffer(), bufferSize(), *static_cast<const CGWMailConstRec*>(source), limit, &size)) return false;
  setDataSize(size);
  return true;
}

char* CPalmMailRecord::getRecIdStr(char* buffer, int length) const {
  return conduitText(MAILRES_RECORD_NAME, buffer, length);
}

CPalmRecord* placeMailRecord(void* memory, BYTE* sharedBuffer) { return new (memory) CPalmMailRecord(sharedBuffer); }
