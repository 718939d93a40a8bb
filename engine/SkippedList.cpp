#include "engine/SkippedList.h"

namespace dov {

void TSkippedList::push_back(const TSkippedFile& file) {
  TRecord record;
  record.Path = paths_.Add(file.Path);
  if (!file.NewPath.empty()) record.NewPath = paths_.Add(file.NewPath) + 1;
  record.Error = file.Error;
  record.Kind = file.Kind;
  records_.push_back(record);
}

TSkippedFile TSkippedList::operator[](size_t index) const {
  const TRecord& record = records_[index];
  TSkippedFile file{paths_.Path(record.Path), {}, record.Kind, record.Error};
  if (record.NewPath != 0) file.NewPath = paths_.Path(record.NewPath - 1);
  return file;
}

void TSkippedList::clear() {
  paths_.Clear();
  records_.clear();
}

}  // namespace dov
