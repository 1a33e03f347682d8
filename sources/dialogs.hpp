#pragma once

// Every dialog and message box of the window goes through Dialogs, so that tests can
// script the answers. QtDialogs is the one the program uses.

#include <QString>
#include <QStringList>

#include "sources/error.hpp"

class QWidget;

namespace larkfield::sources {

enum class MessageIcon { kNone, kInformation, kExclamation, kQuestion };

// The settings of one showing of the open-files dialog.
struct OpenFilesRequest {
  QString file_name;  // cleared before every showing
  // "Description|pattern;pattern", as the command states it.
  QString filter;
  int flags = 0;          // 0x200: several files; 0x80000: the explorer-style dialog
  int max_file_size = 0;  // most characters the result text may hold
};

// The chosen file names do not fit into the request's max_file_size characters.
class SelectionTooLong : public Error {
 public:
  explicit SelectionTooLong(int files_that_fit)
      : Error(Code::kSelectionTooLong, "The file name text is too long for the selection"),
        files_that_fit_(files_that_fit) {}
  // How many of the chosen files would have fitted; the window asks for at most that many.
  int files_that_fit() const noexcept { return files_that_fit_; }

 private:
  int files_that_fit_;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal box with one OK button.
  virtual void Message(QWidget* owner, const QString& text, const QString& title,
                       MessageIcon icon) = 0;

  // A modal question with the question icon and Yes and No, Yes the default. True on Yes.
  virtual bool AskYesNo(QWidget* owner, const QString& text, const QString& title) = 0;

  // The folder browser. The chosen folder's path in the system's spelling, or the empty
  // text when the user cancels. May throw; BrowseForFolder turns that into the empty text.
  virtual QString BrowseForFolder(QWidget* owner, const QString& prompt) = 0;

  // The open-files dialog. Its result text is empty on cancel; one chosen file gives that
  // file's full path; several give the folder, then each file name, each part followed by
  // a NUL character (the last NUL may be missing). Throws SelectionTooLong or Error.
  virtual QString ShowOpen(QWidget* owner, const OpenFilesRequest& request) = 0;
};

// Qt's message boxes and file dialogs.
class QtDialogs final : public Dialogs {
 public:
  void Message(QWidget* owner, const QString& text, const QString& title,
               MessageIcon icon) override;
  bool AskYesNo(QWidget* owner, const QString& text, const QString& title) override;
  QString BrowseForFolder(QWidget* owner, const QString& prompt) override;
  QString ShowOpen(QWidget* owner, const OpenFilesRequest& request) override;
};

// "Description (*.a,*.b)|*.a;*.b" in Qt's spelling "Description (*.a *.b)". Several
// entries are separated by ";;" as Qt expects.
QString QtFilterFrom(const QString& filter);

// The open dialog's result text for the chosen full paths (see Dialogs::ShowOpen), in the
// system's spelling. Throws SelectionTooLong when it would hold more than max_chars
// characters.
QString ComposeOpenResult(const QStringList& chosen, int max_chars);

}  // namespace larkfield::sources
