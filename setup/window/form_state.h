// The main window's variables that the setup's procedures share: discovery
// results, the two connections, the mode flags, the list and progress
// state and the priority field's memory, beside the widget model. The
// window layer implements WindowHooks to repaint, lock redrawing and ask
// questions while a procedure runs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_set>

#include "platform/com/unknown.h"
#include "platform/store/ado.h"
#include "setup/window/model.h"

namespace korvane::setup {

class WindowHooks {
public:
  virtual ~WindowHooks() = default;
  // Lets pending window events run (and the widgets show the model).
  virtual void processEvents() {}
  // Locks (true) or unlocks (false) redrawing of the folder list.
  virtual void lockListRedraw(bool /*lock*/) {}
  // The progress box changed and must be drawn at once.
  virtual void progressChanged() {}
  // A message box with the window's caption, an exclamation icon and OK.
  virtual void exclamation(TextView /*text*/) {}
  // A Yes/No question; true for Yes.
  virtual bool askYesNo(TextView /*text*/) { return true; }
  // Closes the main window (which ends the program).
  virtual void closeWindow() {}
  // Scrolls the folder list so that the row is visible.
  virtual void ensureRowVisible(std::size_t /*row*/) {}
  // A batch run ends with entries in the error log (the whole log's text).
  virtual void batchRunFailed(TextView /*log*/) {}
};

struct InstallForm {
  InstallFormModel ui;
  WindowHooks* hooks = nullptr;

  // Discovery.
  bool blnIsClusterNode = false;
  Text strSearchRoot;
  ComPtr<ado::IConnection> cnn;   // directory connection
  ComPtr<ado::IConnection> cnn1;  // store connection
  Text ClusterName;
  Text strPublicRoot;
  std::int16_t intPublicRootLen = 0;
  Text strStoreGuid;

  // Mode flags.
  bool blnBatchMode = false;
  bool blnNotFirstTime = false;
  bool blnListReady = true;

  // Folder list and progress.
  std::int32_t lngProgress = 0;
  Text strLastSelectedItemKey;
  std::int16_t sortOrders[3] = {0, 0, 0};
  // The fill in progress: the keys listed so far (each folder gets one row),
  // and the row of strLastSelectedItemKey once it is listed.
  std::unordered_set<Text> listedKeys;
  std::optional<std::size_t> lastSelectedRow;

  // The priority field's last accepted text and re-entry flag.
  Text priorityLastAccepted;
  bool priorityReentry = false;

  void processEvents() { if (hooks) hooks->processEvents(); }
};

} // namespace korvane::setup
