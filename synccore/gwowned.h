// The engine's own copies of the client library's record structures: the
// structure as the library takes it, with its text fields pointing into
// copies that the holder owns, so nothing is freed by hand.
//
//   CGWOwnedTexts<__MEMO_DATA, &__MEMO_DATA::pszName, &__MEMO_DATA::pszData> memo;
//   memo.set<&__MEMO_DATA::pszName>("Shopping", "Subject");  // memo.data().pszName: the copy
//   conn.Set(&memo.data(), key);
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "synccore/except.h"

namespace gwrec {

// A copy of s, or null for null. Throws CMemoryRunOut(className, method,
// label) when the memory cannot be had (one nothrow allocation).
inline std::unique_ptr<char[]> copyText(const char* s, const char* className, const char* method, const char* label) {
  if (!s) return nullptr;
  const std::size_t n = std::strlen(s) + 1;
  std::unique_ptr<char[]> p(new (std::nothrow) char[n]);
  if (!p) throw CMemoryRunOut(className, method, label);
  std::memcpy(p.get(), s, n);
  return p;
}

}  // namespace gwrec

// A Data structure (zeroed at first) that owns the texts of its Fields. Its
// other fields are the owner's to write; the Fields only through set and
// copyFrom. Moving keeps the texts where they are, so the fields stay valid.
template <class Data, char* Data::*... Fields>
class CGWOwnedTexts {
 public:
  static constexpr std::size_t kCount = sizeof...(Fields);
  using Labels = std::array<const char*, kCount>;

  CGWOwnedTexts() : m_Data{} {}
  CGWOwnedTexts(const CGWOwnedTexts&) = delete;
  CGWOwnedTexts& operator=(const CGWOwnedTexts&) = delete;
  CGWOwnedTexts(CGWOwnedTexts&&) noexcept = default;
  CGWOwnedTexts& operator=(CGWOwnedTexts&&) noexcept = default;
  ~CGWOwnedTexts() = default;

  Data& data() { return m_Data; }
  const Data& data() const { return m_Data; }

  // Field F points to a copy of s (null for null). A failed copy throws
  // CMemoryRunOut("CGWRecord", "copyStrField", label) and leaves the field
  // as it was.
  template <char* Data::*F>
  void set(const char* s, const char* label) {
    constexpr std::size_t i = indexOf(F);
    static_assert(i < kCount, "not a field whose text this holder owns");
    std::unique_ptr<char[]> copy = gwrec::copyText(s, "CGWRecord", "copyStrField", label);
    m_Data.*F = copy.get();
    m_Texts[i] = std::move(copy);
  }

  // Becomes a copy of src: its other fields as they are (pointers included:
  // an owner with more to own replaces them), each text copied in Fields
  // order and named by labels[i] when its copy fails, which throws as set
  // does and leaves this holder as it was.
  void copyFrom(const Data& src, const Labels& labels) {
    CGWOwnedTexts copy;
    copy.m_Data = src;
    std::size_t i = 0;
    ((copy.m_Texts[i] = gwrec::copyText(src.*Fields, "CGWRecord", "copyStrField", labels[i]),
      copy.m_Data.*Fields = copy.m_Texts[i].get(), ++i),
     ...);
    *this = std::move(copy);
  }

 private:
  static constexpr std::size_t indexOf(char* Data::*field) {
    constexpr std::array<char * Data::*, kCount> fields{Fields...};
    for (std::size_t i = 0; i < kCount; ++i)
      if (fields[i] == field) return i;
    return kCount;
  }

  Data m_Data;
  std::unique_ptr<char[]> m_Texts[kCount > 0 ? kCount : 1];
};
