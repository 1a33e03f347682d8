#pragma once

// Small shell and path helpers of the window.

#include <QString>
#include <QStringView>

#include "sources/dialogs.hpp"

class QWidget;

namespace larkfield::sources {

// Asks for one folder with the folder browser. Returns its path as the system spells it,
// with or without a trailing separator as the dialog gives it, or the empty text when the
// user cancels or anything fails. Shows no message of its own.
QString BrowseForFolder(Dialogs& dialogs, QWidget* ownerWindow, QString prompt);

// Opens a path, document or web address with the desktop's default program. Does nothing
// for an empty text; a target that cannot be opened fails silently.
void ShellOpen(const QString& target);

// The leading part of a path up to and including its last separator, or the empty text
// when there is none. An empty path is refused with Error kInvalidArgument.
QString FolderOfPath(QStringView path);

}  // namespace larkfield::sources
