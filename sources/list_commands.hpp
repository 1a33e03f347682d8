#pragma once

// The three commands that fill or empty the selected-files list: add files, add folder and
// clear. Each runs on the user-interface thread; the two adding commands yield as they go
// and hold the other list commands off while they run (CommandGate).

#include <QCoreApplication>
#include <QString>
#include <utility>
#include <vector>

#include "sources/dialogs.hpp"
#include "sources/event_pump.hpp"
#include "sources/file_list.hpp"
#include "sources/file_system.hpp"
#include "sources/native_path.hpp"

class QAbstractButton;
class QWidget;

namespace larkfield::sources {

struct SkippedFolder;

// The application title: the window's caption and the title of its message boxes.
inline QString AppTitle() {
  return QCoreApplication::translate("larkfield::sources", "Larkfield Mail Porter");
}

class ListCommands {
  Q_DECLARE_TR_FUNCTIONS(ListCommands)

 public:
  struct Parts {
    QWidget* owner;  // owner of every dialog
    FileList* list;
    QAbstractButton* convert;  // the "Convert" button, whose state the adding commands set
    Dialogs* dialogs;
    EventPump* pump;
    CommandGate* gate;
    FileSystemFactory file_system;
  };

  explicit ListCommands(Parts parts) : p_(std::move(parts)) {}

  // Adds the files chosen in the open dialog. Enables "Convert" once the dialog returned
  // something. A selection too long for the dialog, and any other failure, is reported in
  // one message box.
  void AddFiles();

  // Scans the chosen folder's tree and adds every message file found, breadth-first.
  // "Convert" is enabled when this run added at least one file, otherwise disabled. Folders
  // that could not be listed are skipped and reported once, then the count is shown.
  void AddFolder();

  // Empties the list after a Yes to the question; does nothing on an empty list.
  void ClearList();

  // Files and folders named on the command line, as the two adding commands would put
  // them in: a file as it is, a folder as the message files its tree holds. Relative paths
  // are taken from the working folder. "Convert" is enabled when anything was added. Paths
  // that are not there and folders that could not be listed are named in one message box.
  void AddPaths(const std::vector<NativeString>& paths);

 private:
  // Adds the message files of `folder`'s tree (which ends in a separator) breadth-first;
  // returns how many, and notes the folders that could not be listed in `skipped`.
  int AddFolderTree(const QString& folder, std::vector<SkippedFolder>& skipped);

  Parts p_;
};

}  // namespace larkfield::sources
