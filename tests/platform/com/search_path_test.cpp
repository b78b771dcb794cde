#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

#include "platform/com/library_trust.h"
#include "platform/com/search_path.h"
#include "support/temp_server.h"

namespace korvane::libraries {
namespace {

namespace fs = std::filesystem;

// Read through the segments as the loader reads it; a file cut anywhere, or
// no ELF file at all, gives what could be read and nothing beyond it.
TEST(SearchPath, IsReadFromTheDynamicSegmentAndFromNothingBeyondTheFile) {
  const std::string library = KORVANE_TESTSERVER_PATH;
  const auto path = searchPathOf(library);
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0], "$ORIGIN/deps");
  EXPECT_TRUE(fs::is_directory(path[1])) << path[1];

  std::ifstream in(library, std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), {});
  const testing::TempServer scratch(false);  // a scratch directory, removed at the end
  const fs::path& dir = scratch.dir();
  for (std::size_t length : {std::size_t{0}, std::size_t{4}, std::size_t{64}, std::size_t{100}, whole.size() / 2}) {
    SCOPED_TRACE(length);
    std::ofstream(dir / "cut.dll", std::ios::binary) << whole.substr(0, length);
    const auto cut = searchPathOf((dir / "cut.dll").string());
    EXPECT_TRUE(cut.empty() || cut == path);
  }
  std::ofstream(dir / "text.dll") << "#!/bin/sh\n";
  EXPECT_TRUE(searchPathOf((dir / "text.dll").string()).empty());
  EXPECT_TRUE(searchPathOf((dir / "missing.dll").string()).empty());

  // "$ORIGIN" is read once, also where the library's own directory is named so.
  const fs::path odd = dir / "x$ORIGIN";
  fs::create_directory(odd);
  fs::copy_file(library, odd / "lib.dll");
  EXPECT_FALSE(searchPathChangeableByOthers((odd / "lib.dll").string()));
}

} // namespace
} // namespace korvane::libraries
