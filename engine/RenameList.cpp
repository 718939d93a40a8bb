#include "engine/RenameList.h"

namespace dov {

void TRenameList::Append(std::u16string_view oldPath, std::u16string_view newPath) {
  TRecord record;
  record.OldPath = paths_.Add(oldPath);
  record.NewPath = paths_.Add(newPath);
  records_.push_back(record);
}

void TRenameList::SetOutcome(size_t index, bool ok, int error) {
  TRecord& record = records_[index];
  record.State = ok ? kOk : kFailed;
  record.Error = error;
}

TRenameEntry TRenameList::operator[](size_t index) const {
  const TRecord& record = records_[index];
  TRenameEntry entry{paths_.Path(record.OldPath), paths_.Path(record.NewPath), std::nullopt,
                     record.Error};
  if (record.State != kNotTried) entry.Ok = record.State == kOk;
  return entry;
}

void TRenameList::Clear() {
  paths_.Clear();
  records_.clear();
}

}  // namespace dov
