// Fuzzes what the setup program reads of its command line and of its
// priority field: the argument text through the window's load step on a
// real emulated server, the batch switch against its rule, and the priority
// input rules. Nothing may crash or leak, and the rules must hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "setup/window/install.h"
#include "setup/window/main_window.h"
#include "tests/fuzz_setup/fuzz_server.h"

namespace {

using namespace korvane;
using namespace korvane::setup;
using fuzzing::require;

// The rule, written out on its own: more than one character, a hyphen or a
// slash, then the letter b in either case.
bool batchRule(TextView arguments) {
  return arguments.size() > 1 && (arguments[0] == u'-' || arguments[0] == u'/') &&
         (arguments[1] == u'b' || arguments[1] == u'B');
}

bool priorityRule(TextView text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == u' ') ++b;
  while (e > b && text[e - 1] == u' ') --e;
  if (b == e) return false;
  std::uint64_t value = 0;
  for (std::size_t i = b; i < e; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - u'0');
    if (value > 65535) return false;
  }
  return true;
}

void checkLoad(TextView arguments) {
  InstallForm form;
  Form_Load(form, arguments);
  const bool batch = batchRule(arguments);
  require(isBatchSwitch(arguments) == batch);
  require(form.blnBatchMode == batch);
  require(form.ui.caption == (batch ? u"Korvane setup - batch mode" : u"Korvane setup"));
  require(form.strPublicRoot == u"http://exch01/Public/");
  Form_Unload(form);
}

std::size_t trimmedLength(TextView text) {
  std::size_t b = text.find_first_not_of(u' ');
  return b == TextView::npos ? 0 : text.find_last_not_of(u' ') - b + 1;
}

void checkPriority(TextView typed) {
  // Whatever is accepted is a whole number in range; longer texts (leading
  // zeros) may be refused as well.
  if (isAcceptablePriority(typed)) require(priorityRule(typed));
  if (trimmedLength(typed) <= 10) require(isAcceptablePriority(typed) == priorityRule(typed));
  InstallForm form;
  setPriorityFromCode(form, u"65223");
  form.ui.txtPriority.text = Text(typed);
  txtPriority_Change(form);
  require(form.ui.txtPriority.text == (isAcceptablePriority(typed) ? Text(typed) : Text(u"65223")));
  for (char16_t c : typed) {
    int key = txtPriority_KeyPress(c);
    require(key == 0 || key == c);
    require(key == 0 || (c >= u'0' && c <= u'9') || c == 8 || c == 32);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static korvane::fuzzing::RunDirectory run{korvane::fuzzing::makeServer("command-line")};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  checkLoad(text);
  checkPriority(TextView(text).substr(0, 64));
  return 0;
}
