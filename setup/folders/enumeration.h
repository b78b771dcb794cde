// The folder enumeration: walks the public folder tree depth-first from the
// public root, one query per level, into the folder list (path, name, e-mail
// address, icon, check mark for folders that hold "Korvane.reg"), with the
// progress box counting the first level's folders.
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

// The image key for a folder's "DAV:contentclass" value.
Text folderImageKey(TextView contentClass);

// The enumeration query of one level, exactly as it is sent.
Text folderLevelQuery(TextView folderUrl);

void GetPublicFolders(InstallForm& form);

// -1: the level cannot be queried, or its first folder cannot be opened for
// reading and writing; 0: no subfolders; 1: at least one subfolder opened.
std::int16_t getFolderList(InstallForm& form, TextView sUrl, ComPtr<ado::IConnection>& Conn,
                           bool blnInProcess);

void UpdateStatus(InstallForm& form, std::int32_t FileBytes);

} // namespace korvane::setup
