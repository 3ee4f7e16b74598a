#include "platform/posix/transient_account_posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace ebbmark {
namespace {

TEST(TransientAccountTest, PicksAFreeNumberOfTheRangeWrappingAround) {
  const auto never = [](uid_t) { return false; };
  EXPECT_EQ(PickTransientUid({}, 0, never), kTransientUidFirst);
  EXPECT_EQ(PickTransientUid({kTransientUidFirst, kTransientUidFirst + 1}, 0, never),
            kTransientUidFirst + 2);
  // An account or a systemd lock of that number counts as used.
  EXPECT_EQ(PickTransientUid({}, 0, [](uid_t u) { return u == kTransientUidFirst; }),
            kTransientUidFirst + 1);
  // From the last number the search goes on at the first.
  const std::uint32_t last = kTransientUidLast - kTransientUidFirst;
  EXPECT_EQ(PickTransientUid({kTransientUidLast}, last, never), kTransientUidFirst);
  // The whole range in use: nothing, never a shared number.
  EXPECT_EQ(PickTransientUid({}, 7, [](uid_t) { return true; }), std::nullopt);
}

TEST(TransientAccountTest, SeesEveryIdOfEveryProcess) {
  const auto root =
      std::filesystem::temp_directory_path() / ("ebbmark-proc-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "12");
  std::filesystem::create_directories(root / "self");  // not a process number
  std::filesystem::create_directories(root / "99");    // ended while read: no status
  std::ofstream(root / "12/status") << "Name:\tx\nUid:\t1000\t61184\t1000\t1000\n"
                                       "Gid:\t100\t100\t61190\t100\n";
  std::ofstream(root / "self/status") << "Uid:\t5\t5\t5\t5\n";
  EXPECT_EQ(IdsInUse(root.string()), (std::set<uid_t>{100, 1000, 61184, 61190}));
  std::filesystem::remove_all(root);

  // This very process is among the running ones.
  EXPECT_EQ(IdsInUse().count(::getuid()), 1u);
}

}  // namespace
}  // namespace ebbmark
