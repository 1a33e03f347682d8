#include "sources/list_commands.hpp"

#include <QStringList>
#include <cstdint>
#include <exception>
#include <memory>

#include "sources/native_path.hpp"
#include "sources/path_logger.hpp"
#include "sources/path_text.hpp"
#include "sources/registry.hpp"

namespace larkfield::sources {
namespace {

const QChar kTextSeparator(static_cast<char16_t>(kSeparator));

}  // namespace

void ListCommands::AddFiles() {
  auto hold = p_.gate->TryHold();
  if (!hold) return;
  try {
    p_.pump->Yield();
    const OpenFilesRequest request{
        .file_name = QString(),
        .filter = QStringLiteral("Email Messages (*.eml,*.emlx)|*.eml;*.emlx"),
        .flags = 0x80200,
        .max_file_size = 1000,
    };
    QString result = p_.dialogs->ShowOpen(p_.owner, request);
    p_.pump->Yield();
    if (result.isEmpty()) return;
    if (!result.endsWith(QChar(0))) {
      result.append(QChar(0));
      p_.pump->Yield();
    }
    p_.gate->SetEnabled(p_.convert, true);

    // The text ends in a NUL, so the last piece is empty. With more than one piece before
    // it the first piece is the folder of all the others.
    const QStringList pieces = result.split(QChar(0));
    const qsizetype last = pieces.size() - 1;
    QString prefix;
    if (last >= 2) {
      prefix = pieces.front();
      if (!prefix.endsWith(kTextSeparator)) prefix.append(kTextSeparator);
      p_.pump->Yield();
    }
    for (qsizetype i = 0; i < last; ++i) {
      if (prefix.isEmpty() || i != 0) {
        p_.pump->Yield();
        p_.list->AddFileToList(prefix + pieces[i]);
      }
      p_.pump->Yield();
    }
  } catch (const SelectionTooLong& e) {
    p_.dialogs->Message(p_.owner,
                        QStringLiteral("Please select only ") +
                            QString::number(static_cast<std::int16_t>(e.files_that_fit())) +
                            QStringLiteral(" files at a time"),
                        AppTitle(), MessageIcon::kExclamation);
  } catch (const Error& e) {
    p_.dialogs->Message(
        p_.owner, QString::number(e.number()) + QLatin1Char(':') + QString::fromUtf8(e.what()),
        AppTitle(), MessageIcon::kExclamation);
  } catch (const std::exception& e) {
    p_.dialogs->Message(p_.owner,
                        QString::number(static_cast<int>(Error::Code::kUnexpected)) +
                            QLatin1Char(':') + QString::fromUtf8(e.what()),
                        AppTitle(), MessageIcon::kExclamation);
  }
}

void ListCommands::AddFolder() {
  std::vector<SkippedFolder> skipped;
  int found = 0;
  {
    auto hold = p_.gate->TryHold();
    if (!hold) return;
    QString folder = BrowseForFolder(*p_.dialogs, p_.owner,
                                     QStringLiteral("Choose Windows Live Mail Store Folder..."));
    if (folder.isEmpty()) return;
    if (!folder.endsWith(kTextSeparator)) folder.append(kTextSeparator);

    BusyCursor busy;
    std::shared_ptr<pathLogger::TextList> names;
    {
      pathLogger scanner(p_.file_system, [pump = p_.pump] { pump->Yield(); });
      scanner.PathLogInit();
      scanner.fullFileNamesOnly(true);
      scanner.LogPath(NativeFromText(folder));
      names = scanner.fullFileNames();
      skipped = scanner.skippedFolders();
      scanner.Terminate();
    }
    for (std::size_t pos = 1; pos <= names->Count(); ++pos) {
      p_.pump->Yield();
      const NativeString& entry = names->Item(pos);
      if (!IsMessageFile(entry)) continue;
      p_.pump->Yield();
      p_.list->AddFileToList(TextFromNative(entry));
      ++found;
    }
    // Decided by this run alone, whatever the list held before.
    p_.gate->SetEnabled(p_.convert, found > 0);
  }
  if (!skipped.empty()) {
    p_.dialogs->Message(p_.owner, QStringLiteral("Please Select Correct Store Folder."), AppTitle(),
                        MessageIcon::kInformation);
  }
  p_.dialogs->Message(p_.owner, QString::number(found) + QStringLiteral(" Email Messages Found."),
                      AppTitle(), MessageIcon::kNone);
}

void ListCommands::ClearList() {
  if (p_.gate->Busy() || p_.list->IsEmpty()) return;
  if (p_.dialogs->AskYesNo(p_.owner,
                           QStringLiteral("Do you want to clear all the files in the list\r\n"
                                          " Proceed?"),
                           AppTitle())) {
    p_.list->ResetFileList();
  }
}

}  // namespace larkfield::sources
