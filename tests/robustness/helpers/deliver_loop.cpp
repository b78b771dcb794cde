// robustness_deliver: delivers COUNT items into the current server's folders
// in a loop, through the store's delivery (and so through every sink that is
// registered), and appends what it did to a log: a "start" line before each
// delivery and a "done" line with the outcome after it. Any failure ends it
// with a message on stderr and exit code 1, so that a caller sees every
// delivery that did not go through (a busy database or a name clash
// included). Each item carries its own key ("W-I") in kKeyProperty; its
// subject is the key, or with --subjects the next of those, as daily
// reports and alerts repeat theirs.
//
//   robustness_deliver --id W --count N --folders A,B --classes C1,C2 [--subjects S1,S2] --log FILE
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/runtime.h"
#include "platform/store/store.h"
#include "tests/robustness/delivery_log.h"

namespace {

using namespace korvane;

struct Options {
  std::string id = "w0";
  long count = 10;
  std::vector<std::string> folders;
  std::vector<std::string> classes{"IPM.Note"};
  std::vector<std::string> subjects;
  std::string log;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("the option " + a + " needs a value");
    std::string v = argv[++i];
    if (a == "--id") o.id = v;
    else if (a == "--count") o.count = std::stol(v);
    else if (a == "--folders") o.folders = robustness::split(v, ',');
    else if (a == "--classes") o.classes = robustness::split(v, ',');
    else if (a == "--subjects") o.subjects = robustness::split(v, ',');
    else if (a == "--log") o.log = v;
    else throw std::invalid_argument("unknown option " + a);
  }
  if (o.folders.empty() || o.log.empty()) throw std::invalid_argument("--folders and --log are required");
  return o;
}

// One write per line: a line is either in the log whole or not at all,
// even when the process is killed.
class Log {
public:
  explicit Log(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot open the log " + path + ": " + std::strerror(errno));
  }
  ~Log() { ::close(fd_); }
  void line(const std::string& text) {
    std::string l = text + "\n";
    if (::write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
      throw std::runtime_error(std::string("cannot write the log: ") + std::strerror(errno));
  }

private:
  int fd_;
};

int deliverAll(const Options& o) {
  Log log(o.log);
  auto started = std::chrono::steady_clock::now();
  for (long i = 0; i < o.count; ++i) {
    const std::string key = o.id + "-" + std::to_string(i);
    const auto at = static_cast<std::size_t>(i);
    const std::string subject = o.subjects.empty() ? key : o.subjects[at % o.subjects.size()];
    const std::string& folder = o.folders[at % o.folders.size()];
    const std::string& cls = o.classes[at % o.classes.size()];
    const std::string fields = key + "\t" + folder + "\t" + cls + "\t" + subject;
    log.line("start\t" + fields);
    store::SaveOutcome outcome;
    try {
      outcome = store::deliver(fromUtf8(folder),
                               store::Properties{{store::prop::subject, Variant(fromUtf8(subject))},
                                                 {store::prop::messageClass, Variant(fromUtf8(cls))},
                                                 {robustness::kKeyProperty, Variant(fromUtf8(key))}});
    } catch (const ComError& e) {
      std::fprintf(stderr, "robustness_deliver %s: the delivery of %s (\"%s\") into %s failed: %s\n", o.id.c_str(),
                   key.c_str(), subject.c_str(), folder.c_str(), e.what());
      return 1;
    }
    if (outcome.aborted) {
      std::fprintf(stderr, "robustness_deliver %s: the delivery of %s was vetoed by %s\n", o.id.c_str(),
                   key.c_str(), toUtf8(outcome.abortedBy).c_str());
      return 1;
    }
    log.line("done\t" + fields + "\t" + (outcome.deleted ? "deleted" : "kept") + "\t" +
             toUtf8(outcome.messageClass) + "\t" + toUtf8(outcome.url));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%s delivered %ld items in %.2f s (%.1f items/s)\n", o.id.c_str(), o.count, seconds,
              seconds > 0 ? static_cast<double>(o.count) / seconds : 0.0);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  int status = 1;
  try {
    status = deliverAll(parse(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "robustness_deliver: %s\n", e.what());
    status = 1;
  }
  korvane::shutdownRuntime();
  return status;
}
