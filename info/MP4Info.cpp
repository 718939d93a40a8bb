#include "info/MP4Info.h"

#include <limits>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "tags/MP4Tags.h"

namespace dov {

void TMP4Info::Parse(TStream& stream) {
  // After the header: version (1), flags (3), creation and modification times
  // (4 bytes each in version 0, 8 in version 1), then the time scale (4) and
  // the duration (4 or 8).
  constexpr int64_t kTimeScaleV0 = 12;
  constexpr int64_t kTimeScaleV1 = 20;

  TByteReader reader(stream);
  // The movie atom is searched from the start of the file, so that a file
  // without a file-type atom in front is measured too.
  int64_t position = 0;
  int64_t limit = reader.Size();
  if (!FindAtom(stream, "moov", position, limit) || !FindAtom(stream, "mvhd", position, limit))
    return;
  reader.Seek(position);
  const bool longFields = reader.U8() == 1;
  const int64_t timeScaleAt = position + (longFields ? kTimeScaleV1 : kTimeScaleV0);
  const int64_t fieldsSize = longFields ? 12 : 8;
  // FindAtom's limit lies a header's length past the atom's end.
  constexpr int64_t kHeaderSize = 8;
  if (limit - kHeaderSize - timeScaleAt < fieldsSize) return;  // the atom is too short
  reader.Seek(timeScaleAt);
  const uint32_t timeScale = reader.U32BE();
  const uint64_t duration = longFields ? reader.U64BE() : reader.U32BE();
  // All ones: the writer did not know the duration.
  const uint64_t unknown =
      longFields ? std::numeric_limits<uint64_t>::max() : std::numeric_limits<uint32_t>::max();
  if (duration == unknown) return;
  Duration = MillisecondsOf(static_cast<long double>(duration), timeScale);
}

}  // namespace dov
