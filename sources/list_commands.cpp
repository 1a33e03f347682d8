#include "sources/list_commands.hpp"

#include <QCoreApplication>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

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
        .filter = tr("Email Messages (*.eml,*.emlx)|*.eml;*.emlx"),
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
                        tr("Please select only %1 files at a time")
                            .arg(static_cast<std::int16_t>(e.files_that_fit())),
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
    QString folder =
        BrowseForFolder(*p_.dialogs, p_.owner, tr("Choose Windows Live Mail Store Folder..."));
    if (folder.isEmpty()) return;
    if (!folder.endsWith(kTextSeparator)) folder.append(kTextSeparator);

    BusyCursor busy;
    found = AddFolderTree(folder, skipped);
    // Decided by this run alone, whatever the list held before.
    p_.gate->SetEnabled(p_.convert, found > 0);
  }
  if (!skipped.empty()) {
    p_.dialogs->Message(p_.owner, tr("Please Select Correct Store Folder."), AppTitle(),
                        MessageIcon::kInformation);
  }
  p_.dialogs->Message(p_.owner, tr("%1 Email Messages Found.").arg(found), AppTitle(),
                      MessageIcon::kNone);
}

int ListCommands::AddFolderTree(const QString& folder, std::vector<SkippedFolder>& skipped) {
  std::shared_ptr<pathLogger::TextList> names;
  {
    pathLogger scanner(p_.file_system, [pump = p_.pump] { pump->Yield(); });
    scanner.PathLogInit();
    scanner.fullFileNamesOnly(true);
    scanner.LogPath(NativeFromText(folder));
    names = scanner.fullFileNames();
    const std::vector<SkippedFolder> these = scanner.skippedFolders();
    skipped.insert(skipped.end(), these.begin(), these.end());
    scanner.Terminate();
  }
  int found = 0;
  for (std::size_t pos = 1; pos <= names->Count(); ++pos) {
    p_.pump->Yield();
    const NativeString& entry = names->Item(pos);
    if (!IsMessageFile(entry)) continue;
    p_.pump->Yield();
    p_.list->AddFileToList(TextFromNative(entry));
    ++found;
  }
  return found;
}

void ListCommands::AddPaths(const std::vector<NativeString>& paths) {
  if (paths.empty()) return;
  std::vector<SkippedFolder> skipped;
  QStringList missing;
  int added = 0;
  {
    auto hold = p_.gate->TryHold();
    if (!hold) return;
    BusyCursor busy;
    for (const NativeString& given : paths) {
      std::error_code ec;
      const std::filesystem::path path = std::filesystem::absolute(given, ec);
      const auto status = std::filesystem::status(ec ? std::filesystem::path(given) : path, ec);
      if (ec || !std::filesystem::exists(status)) {
        missing.append(
            TextFromNative(given) + QStringLiteral(": ") +
            QString::fromLocal8Bit(
                (ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory)).message()));
        continue;
      }
      if (std::filesystem::is_directory(status)) {
        added += AddFolderTree(TextFromNative(AddTrailingSeparator(path.native())), skipped);
      } else {
        p_.pump->Yield();
        p_.list->AddFileToList(TextFromNative(path.native()));
        ++added;
      }
    }
    if (added > 0) p_.gate->SetEnabled(p_.convert, true);
  }
  for (const SkippedFolder& s : skipped) {
    missing.append(TextFromNative(s.path) + QStringLiteral(": ") +
                   tr("this folder could not be listed"));
  }
  if (!missing.isEmpty()) {
    p_.dialogs->Message(p_.owner,
                        tr("These were not added to the list:") + QStringLiteral("\r\n") +
                            missing.join(QStringLiteral("\r\n")),
                        AppTitle(), MessageIcon::kExclamation);
  }
}

void ListCommands::ClearList() {
  if (p_.gate->Busy() || p_.list->IsEmpty()) return;
  if (p_.dialogs->AskYesNo(p_.owner,
                           tr("Do you want to clear all the files in the list\r\n"
                              " Proceed?"),
                           AppTitle())) {
    p_.list->ResetFileList();
  }
}

}  // namespace larkfield::sources
