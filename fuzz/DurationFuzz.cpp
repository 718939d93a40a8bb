// One stream-information reader over bytes in memory, chosen when the target
// is built: DOV_FUZZ_HEADER names its header, DOV_FUZZ_READER its class.
#include <cstdlib>

#include "fuzz/FuzzSupport.h"
#include DOV_FUZZ_HEADER

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dov::TMemoryStream stream{std::string(dov::fuzz::AsBytes(data, size))};
  dov::DOV_FUZZ_READER reader;
  reader.ReadFromFile("fuzz", &stream);
  // The stream is left open and can still be read.
  stream.Seek(0);
  volatile auto duration = reader.Duration;
  (void)duration;
  return 0;
}
