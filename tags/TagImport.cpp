#include "tags/APETag.h"

namespace dov {

// The container readers plug in here; until they do, a file without an APE
// tag yields no fields.
void TAPETags::ImportContainerTags() {}

}  // namespace dov
