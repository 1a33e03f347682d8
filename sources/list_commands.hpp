#pragma once

// The three commands that fill or empty the selected-files list: add files, add folder and
// clear. Each runs on the user-interface thread; the two adding commands yield as they go
// and hold the other list commands off while they run (CommandGate).

#include <QString>
#include <utility>

#include "sources/dialogs.hpp"
#include "sources/event_pump.hpp"
#include "sources/file_list.hpp"
#include "sources/file_system.hpp"

class QAbstractButton;
class QWidget;

namespace larkfield::sources {

// The application title: the window's caption and the title of its message boxes.
inline QString AppTitle() { return QStringLiteral("Larkfield Mail Porter"); }

class ListCommands {
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

 private:
  Parts p_;
};

}  // namespace larkfield::sources
