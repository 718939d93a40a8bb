// The look-ups ahead of the journal give each file's own identity, from the
// folder entered last, whether they came in time or not.
#include "engine/FolderIdentities.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::TempDir;
using test::WriteFile;

struct FolderFd {
  explicit FolderFd(const std::string& path)
      : fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  ~FolderFd() { ::close(fd); }
  int fd;
};

TEST(FolderIdentities, EachFileGetsItsOwnIdentityFromTheFolderEntered) {
  TempDir dir;
  constexpr int kFiles = 300;
  for (const char* folder : {"one", "two"}) {
    std::filesystem::create_directories(dir / folder);
    // The same names in both folders, of other sizes.
    for (int i = 0; i < kFiles; ++i)
      WriteFile(dir / (std::string(folder) + "/f" + std::to_string(i)),
                std::string(static_cast<size_t>(folder[1] == 'n' ? i : 1000 + i), 'x'));
  }
  std::filesystem::create_directories(dir / "one/sub");
  std::filesystem::create_symlink("f1", dir / "one/link");
  WriteFile(dir / "one/.hidden", "h");

  TFolderIdentities identities;
  for (const char* folder : {"one", "two"}) {
    SCOPED_TRACE(folder);
    FolderFd fd(dir / folder);
    identities.Enter(fd.fd);
    // Given time, the look-ups ahead are done before they are asked for.
    const uint64_t hitsBefore = identities.Hits();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (identities.Hits() == hitsBefore && std::chrono::steady_clock::now() < deadline) {
      identities.Of("f299");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(identities.Hits(), hitsBefore);
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i);
      const auto id = identities.Of(name.c_str());
      ASSERT_TRUE(id.has_value()) << name;
      EXPECT_EQ(*id, *IdentityAt(fd.fd, name.c_str())) << name;
      EXPECT_EQ(id->Size, folder[1] == 'n' ? i : 1000 + i) << name;
    }
    struct Case {
      const char* name;
      bool found;
    };
    const Case cases[] = {{"sub", false}, {"link", false}, {"missing", false}, {".hidden", true}};
    for (const Case& c : cases)
      EXPECT_EQ(identities.Of(c.name).has_value(), c.found && folder[1] == 'n') << c.name;
  }
}

}  // namespace
}  // namespace dov
