// The Memo Pad record: splitting its text into title and body, and building
// it from a server memo.
#include "conduits/memo/memorecord.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "conduits/memo/memodatasrc.h"
#include "log/log.h"
#include "synccore/helpers.h"

namespace {

// The text of a record: up to its first NUL, or all of the data.
std::string_view memoText(const BYTE* data, DWORD size) {
  if (!data) return {};
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(text, '\0', size);
  return {text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size};
}

}  // namespace

MemoParts splitMemo(const BYTE* data, DWORD size) {
  const std::string_view text = memoText(data, size);
  const size_t lf = text.find('\n');
  MemoParts parts;
  parts.title = text.substr(0, lf);
  if (lf != std::string_view::npos) parts.body = text.substr(lf + 1);
  parts.hasTitle = !parts.title.empty();
  parts.hasBody = !parts.body.empty();
  return parts;
}

bool buildMemoRecord(const char* title, const char* body, BYTE* out, DWORD outSize, DWORD* size) {
  if (!out || outSize < 3) return false;
  // Room for the text; the NUL and the zero byte after it come on top.
  const int room = static_cast<int>(std::min<DWORD>(outSize - 2, kMemoTextMax));
  char* text = reinterpret_cast<char*>(out);
  // The title's NUL becomes its line feed, so a title that fills the room
  // still leaves the text its terminator.
  int used = copyDbcsText(text, title, room, DBCS_COPY, nullptr);
  text[used - 1] = '\n';
  used += copyDbcsText(text + used, body, room - used + 1, DBCS_CRLF_TO_LF, nullptr) - 1;
  text[used] = '\0';
  text[used + 1] = '\0';
  *size = static_cast<DWORD>(used) + 2;
  return true;
}

void memoToServer(const CPalmRecord& rec, CGWMemoConstRec& target) {
  const MemoParts parts = splitMemo(rec.data(), rec.dataSize());
  const std::string title(parts.title), body(parts.body);
  target.setSubject(parts.hasTitle ? title.c_str() : nullptr);
  target.setData(parts.hasBody ? body.c_str() : nullptr);
}

bool memoFromServer(CPalmRecord& rec, int categoryIndex, const CPalmRecord* prev, const CGWMemoConstRec& memo) {
  DWORD size = 0;
  if (!rec.buffer() || !buildMemoRecord(memo.getSubject(), memo.getData(), rec.buffer(), rec.bufferSize(), &size))
    return false;
  rec.setDataSize(size);
  rec.m_CatIndex = static_cast<WORD>(categoryIndex);
  // The server knows nothing of privacy: a private memo stays private.
  if (prev && (prev->m_Flags & PALMREC_PRIVATE)) rec.m_Flags |= PALMREC_PRIVATE;
  return true;
}

char* describeMemoRecord(const BYTE* data, DWORD size, char* buffer, int length) {
  const std::string text(memoText(data, size));
  copyDbcsText(buffer, text.c_str(), length, DBCS_COPY, "...");
  return buffer;
}

bool CPalmMemoRecord::convertHH2GW(CHHDataSrc*, CGWDataSrc*, const CGWRecord*, CGWRecord* target) {
  if (!target) return false;
  memoToServer(*this, *static_cast<CGWMemoConstRec*>(target));
  return true;
}

bool CPalmMemoRecord::convertGW2HH(CHHDataSrc* hh, CGWDataSrc*, const CHHRecord* existing, const CGWRecord* source) {
  auto* memos = dynamic_cast<CPalmLSMemoDataSrc*>(hh);
  if (!memos || !source) return false;
  // Anywhere else the memo would be out of the conduit's reach, and the
  // next run would bring it from the server once more.
  const int category = memos->makeProductCategory();
  if (category < 0) return false;
  return memoFromServer(*this, category, static_cast<const CPalmRecord*>(existing),
                        *static_cast<const CGWMemoConstRec*>(source));
}

char* CPalmMemoRecord::getRecIdStr(char* buffer, int length) const {
  return describeMemoRecord(data(), dataSize(), buffer, length);
}

void CPalmMemoRecord::trace() const {
  CPalmRecord::trace();
  if (!g_TraceObj.shouldTrace(10)) return;
  const MemoParts parts = splitMemo(data(), dataSize());
  g_TraceObj.write(10, "  title:%db body:%db\n", static_cast<int>(parts.title.size()),
                   static_cast<int>(parts.body.size()));
}

CPalmRecord* placeMemoRecord(void* memory, BYTE* sharedBuffer) { return new (memory) CPalmMemoRecord(sharedBuffer); }
