#include "engine/RenameList.h"

namespace dov {

void TRenameList::Append(std::u16string_view oldPath, std::u16string_view newPath) {
  if (records_.empty() || records_.back().size() == kChunkEntries) {
    records_.emplace_back();
    records_.back().reserve(kChunkEntries);
  }
  TRecord record;
  record.OldPath = paths_.Add(oldPath);
  record.NewPath = paths_.Add(newPath);
  records_.back().push_back(record);
  ++size_;
}

const TRenameList::TRecord& TRenameList::Record(size_t index) const {
  return records_[index / kChunkEntries][index % kChunkEntries];
}

void TRenameList::SetOutcome(size_t index, bool ok, int error) {
  TRecord& record = records_[index / kChunkEntries][index % kChunkEntries];
  record.State = ok ? kOk : kFailed;
  record.Error = error;
}

TRenameEntry TRenameList::operator[](size_t index) const {
  const TRecord& record = Record(index);
  TRenameEntry entry{paths_.Path(record.OldPath), paths_.Path(record.NewPath), std::nullopt,
                     record.Error};
  if (record.State != kNotTried) entry.Ok = record.State == kOk;
  return entry;
}

void TRenameList::Clear() {
  paths_.Clear();
  records_.clear();
  size_ = 0;
}

}  // namespace dov
