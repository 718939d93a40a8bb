#include "common/Platform.h"

namespace dov {
namespace {

// Linux: none of the Windows services exist.
class TLinuxPlatform : public TPlatform {
 public:
  TWindowsVersion ReportedVersion() override { return {}; }
  int64_t PerformanceFrequency() override {
    // The monotonic clock counts nanoseconds.
    return 1'000'000'000;
  }
  std::unique_ptr<TRegistryKey> OpenLocalMachineKey(std::string_view) override { return nullptr; }
  bool HasFileInformationSetter() override { return false; }
  bool SetFileBasicInformation(int, const TFileBasicInfo&) override { return false; }
  bool KeepLastWriteTime(int) override { return false; }
  bool CanLoadLibrary(std::string_view, bool) override { return false; }
  void SetCriticalErrorDialogs(bool) override {}
  bool QueryInternetProxy(uint32_t&, std::string&) override { return false; }
  uint32_t RegisterClipboardFormat(std::string_view) override { return 0; }
};

TPlatform*& Installed() {
  static TPlatform* platform = nullptr;
  return platform;
}

}  // namespace

TPlatform& Platform() {
  static TLinuxPlatform native;
  return Installed() != nullptr ? *Installed() : native;
}

void SetPlatform(TPlatform* platform) {
  Installed() = platform;
}

}  // namespace dov
