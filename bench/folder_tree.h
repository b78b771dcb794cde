// Generated public folder trees for the benchmarks: every folder
// mail-enabled, one store save each, all inside one outer transaction so
// that the set-up does not wait for a disk flush per folder, on a fresh
// server that has the sink's COM+ application installed (as a server the
// setup has run on: every object the setup creates is looked up in a
// populated catalog).
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_server.h"
#include "platform/complus/admin.h"
#include "platform/db/database.h"
#include "platform/store/store.h"

namespace korvane::bench {

class TreeServer {
public:
  // fanOuts[i]: the subfolders of each folder at depth i (the root is depth 0).
  explicit TreeServer(std::vector<int> fanOuts) : fanOuts_(std::move(fanOuts)) {
    auto start = std::chrono::steady_clock::now();
    db::Transaction tx(db::Database::current());
    folders = createLevel(u"", 0);
    tx.commit();
    complus::Catalog().installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"",
                                          u"IPM.Note\r*\r65223");
    creationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "Created %d folders in %.2f s (one transaction)\n", folders, creationSeconds);
  }
  // Makes this tree's server the current one again (after another's).
  void makeCurrent() const { db::setServerDirectory(server.dir()); }

  BenchServer server;  // made before the tree, removed last
  int folders = 0;
  double creationSeconds = 0;

private:
  int createLevel(const Text& parent, std::size_t depth) {
    if (depth >= fanOuts_.size()) return 0;
    int made = 0;
    for (int i = 0; i < fanOuts_[depth]; ++i) {
      const std::string id = std::to_string(depth + 1) + "-" + std::to_string(i);
      store::FolderSpec spec;
      spec.path = (parent.empty() ? Text() : parent + u"/") + fromUtf8("Folder " + id);
      spec.mailAddress = fromUtf8("f" + id + "@corp.example.com");
      spec.contentClass = u"urn:content-classes:mailfolder";
      store::createFolder(spec);
      made += 1 + createLevel(spec.path, depth + 1);
    }
    return made;
  }
  std::vector<int> fanOuts_;
};

} // namespace korvane::bench
