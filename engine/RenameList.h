// The list of a rename job: every file whose path changes, in walk order,
// with the outcome of its operation. A job of a million files lists a million
// entries, so an entry is kept as two handles into a path store and its
// outcome, some dozens of bytes with its names; the whole paths are made
// again when an entry is looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/PathStore.h"

namespace dov {

struct TRenameEntry {
  std::u16string OldPath;
  std::u16string NewPath;
  std::optional<bool> Ok;  // unset until the operation pass tried it
  int Error = 0;           // why it failed (an errno value); 0 when it did not
};

class TRenameList {
 public:
  using TIterator = TIndexIterator<TRenameList, TRenameEntry>;

  void Append(std::u16string_view oldPath, std::u16string_view newPath);
  // Records what the operation of entry index did.
  void SetOutcome(size_t index, bool ok, int error);
  void Clear();

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.size() == 0; }
  TRenameEntry operator[](size_t index) const;
  TIterator begin() const { return {this, 0}; }
  TIterator end() const { return {this, size()}; }

 private:
  enum EState : uint8_t { kNotTried, kOk, kFailed };
  struct TRecord {
    uint64_t OldPath = 0, NewPath = 0;  // handles into paths_
    int32_t Error = 0;
    EState State = kNotTried;
  };

  TPathStore paths_;
  TChunkedVector<TRecord> records_;
};

}  // namespace dov
