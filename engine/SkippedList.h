// The supported files a rename job leaves out, kept as compactly as its
// rename list: a library of untagged files lists every one of them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/PathStore.h"

namespace dov {

// A supported file the collection pass leaves out of the job, and why: its
// new name differs from the old one only in letter case, its tags give no
// artist, title or genre, or it could not be opened (Error says why).
enum class ESkipKind { CaseOnly, NoNameTags, Unreadable };
struct TSkippedFile {
  std::u16string Path;
  std::u16string NewPath;  // the name it would get; for CaseOnly only
  ESkipKind Kind = ESkipKind::NoNameTags;
  int Error = 0;
};

class TSkippedList {
 public:
  using TIterator = TIndexIterator<TSkippedList, TSkippedFile>;

  void push_back(const TSkippedFile& file);
  void clear();

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.size() == 0; }
  TSkippedFile operator[](size_t index) const;
  TIterator begin() const { return {this, 0}; }
  TIterator end() const { return {this, size()}; }

 private:
  struct TRecord {
    uint64_t Path = 0;
    uint64_t NewPath = 0;  // a handle plus one; 0: no new name
    int32_t Error = 0;
    ESkipKind Kind = ESkipKind::NoNameTags;
  };

  TPathStore paths_;
  TChunkedVector<TRecord> records_;
};

}  // namespace dov
