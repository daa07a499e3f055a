#include "generator/memory_limit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace grouptrace {
namespace {

// A control-group file of the given contents, removed on destruction.
class LimitFile {
 public:
  explicit LimitFile(const std::string& contents) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr ? dir : "/tmp") + "/grouptrace-limitXXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    const bool written =
        write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    close(fd);
    if (!written) throw std::runtime_error("cannot write " + path_);
  }
  ~LimitFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(MemoryLimit, ControlGroupFilesAreReadAsTheKernelWritesThem) {
  EXPECT_EQ(cgroupMemoryLimit(LimitFile("1073741824\n").path()), 1073741824u);
  // cgroup v1 states "no limit" as a huge number, v2 as "max".
  EXPECT_EQ(cgroupMemoryLimit(LimitFile("9223372036854771712\n").path()), 9223372036854771712u);
  EXPECT_EQ(cgroupMemoryLimit(LimitFile("max\n").path()), kNoMemoryLimit);
  for (const char* unusable : {"", "\n", "12 MB\n", "-5\n", "99999999999999999999999\n"}) {
    EXPECT_EQ(cgroupMemoryLimit(LimitFile(unusable).path()), kNoMemoryLimit) << unusable;
  }
  EXPECT_EQ(cgroupMemoryLimit("/nonexistent/memory.max"), kNoMemoryLimit);
}

TEST(MemoryLimit, TheTighterOfMachineAndControlGroupCounts) {
  const std::uint64_t machine = availableMemory({});
  ASSERT_GT(machine, std::uint64_t{1} << 24);
  ASSERT_NE(machine, kNoMemoryLimit);

  const LimitFile tight("16777216\n");
  const LimitFile none("max\n");
  const LimitFile loose(std::to_string(machine + 1) + "\n");
  EXPECT_EQ(availableMemory(std::array{none.path(), tight.path()}), std::uint64_t{1} << 24);
  EXPECT_EQ(availableMemory(std::array{tight.path(), loose.path()}), std::uint64_t{1} << 24);
  EXPECT_EQ(availableMemory(std::array{none.path(), loose.path(), "/nonexistent"}), machine);
}

}  // namespace
}  // namespace grouptrace
