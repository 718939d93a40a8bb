#include "info/CDA.h"

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

void TCDAInfo::Parse(TStream& stream) {
  // "RIFF", size, "CDDA", then the "fmt " chunk: version, track number, serial,
  // start sector, length in sectors, start and length as frame, second, minute
  // and a zero byte.
  constexpr size_t kFileSize = 44;
  constexpr size_t kLengthSeconds = 41;
  constexpr size_t kLengthMinutes = 42;

  TByteReader reader(stream);
  unsigned char file[kFileSize];
  reader.ReadExact(file, sizeof file);
  if (std::string_view(reinterpret_cast<const char*>(file) + 8, 8) != "CDDAfmt ") return;
  // The frames (1/75 s) are not counted.
  Duration = (file[kLengthMinutes] * 60 + file[kLengthSeconds]) * 1000;
}

}  // namespace dov
