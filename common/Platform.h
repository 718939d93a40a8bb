// The Windows-only services the shared routines were built around: the
// registry, the reported system version, library probes, the
// set-file-information call, the internet proxy query and the clipboard format.
// Linux has none of them; its implementation answers "not available" (no
// proxy, no registry, no version to correct). Tests install a fake to drive
// the logic that is ours.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace dov {

struct TWindowsVersion {
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Build = 0;

  // True when this version is major.minor or later.
  bool AtLeast(uint32_t major, uint32_t minor) const {
    return Major > major || (Major == major && Minor >= minor);
  }
};

// The basic information of an open file: times as 100-ns counts since 1601,
// and the attribute bits.
struct TFileBasicInfo {
  int64_t CreationTime = 0;
  int64_t LastAccessTime = 0;
  int64_t LastWriteTime = 0;
  int64_t ChangeTime = 0;
  uint32_t Attributes = 0;
};

// One registry key opened read-only. Each read answers nothing when the value
// is missing or of another type.
class TRegistryKey {
 public:
  virtual ~TRegistryKey() = default;
  virtual std::optional<int32_t> ReadInteger(std::string_view name) = 0;
  virtual std::optional<std::string> ReadString(std::string_view name) = 0;
};

class TPlatform {
 public:
  virtual ~TPlatform() = default;

  // The system version as reported, before any correction (0.0 when the
  // system is not Windows).
  virtual TWindowsVersion ReportedVersion() = 0;
  // Ticks per second of the high-resolution counter.
  virtual int64_t PerformanceFrequency() = 0;
  // A key of the local machine opened read-only; null when it cannot be.
  virtual std::unique_ptr<TRegistryKey> OpenLocalMachineKey(std::string_view path) = 0;
  // Whether the set-file-information-by-handle function can be had.
  virtual bool HasFileInformationSetter() = 0;
  // Sets the basic information of an open file; true on success.
  virtual bool SetFileBasicInformation(int handle, const TFileBasicInfo& info) = 0;
  // Older systems: no update of the last-write time for writes through
  // handle; true on success.
  virtual bool KeepLastWriteTime(int handle) = 0;
  // Whether a library can be loaded (and is freed again at once).
  virtual bool CanLoadLibrary(std::string_view name, bool asDataFile) = 0;
  // Switches the system's critical-error dialogs on or off.
  virtual void SetCriticalErrorDialogs(bool enabled) = 0;
  // The internet proxy settings: access type and proxy list; false when they
  // cannot be had.
  virtual bool QueryInternetProxy(uint32_t& accessType, std::string& proxyList) = 0;
  // The identifier of a registered clipboard format; 0 when there is none.
  virtual uint32_t RegisterClipboardFormat(std::string_view name) = 0;
};

// The platform in use: Linux's unless a test installed another.
TPlatform& Platform();
// Installs a platform (tests); null restores Linux's. The caller keeps it
// alive while it is installed.
void SetPlatform(TPlatform* platform);

}  // namespace dov
