#pragma once

// frmStep1: the program's only window. A fixed layout of buttons, the selected-files list,
// two status lines and a progress bar; every user action is one of its buttons.

#include <QCoreApplication>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <utility>
#include <vector>

#include "app/convert_command.hpp"
#include "sources/dialogs.hpp"
#include "sources/event_pump.hpp"
#include "sources/file_list.hpp"
#include "sources/file_system.hpp"
#include "sources/list_commands.hpp"

namespace larkfield::app {

// The application icon in its four sizes (16, 24, 32 and 48 pixels).
QIcon AppIcon();

class frmStep1 final : public QWidget {
  Q_DECLARE_TR_FUNCTIONS(frmStep1)

 public:
  // Client area in pixels.
  static constexpr int kClientWidth = 764;
  static constexpr int kClientHeight = 546;

  // Every dialog goes through `dialogs`; folder scans use `file_system`.
  frmStep1(sources::Dialogs& dialogs, sources::FileSystemFactory file_system,
           QWidget* parent = nullptr);
  ~frmStep1() override;

  // Button handlers. Each runs to completion on the user-interface thread; a failure that
  // gets out of a command is shown in one message box and the window goes on.
  void cmdAdd_Click();
  void CmdAddFolder_Click();
  void cmdClear1_Click();
  void CmdExtractDBX_Click();
  void cmdEnd_Click();
  void CmdHelp_Click();

  // Files and folders given on the command line, into the list as the add commands put
  // them (see sources::ListCommands::AddPaths).
  void AddPaths(const std::vector<sources::NativeString>& paths);

  void AddFileToList(QString path) { grdFiles1_.AddFileToList(std::move(path)); }
  void ResetFileList() { grdFiles1_.ResetFileList(); }

  // What a conversion run uses: the list (read by row index in one step), the status
  // lines, the progress bar, the "Convert" button (set through gate() so that a running
  // list command keeps it held), the dialogs, and the yield that ends a run when the
  // window closes.
  const sources::FileList& grdFiles1() const { return grdFiles1_; }
  QLabel* LblCurrentDBX() { return &LblCurrentDBX_; }
  QLabel* LblProgessCurrent() { return &LblProgessCurrent_; }
  QProgressBar* ProgressBar1() { return &ProgressBar1_; }
  QPushButton* CmdExtractDBX() { return &CmdExtractDBX_; }
  sources::Dialogs& dialogs() const { return dialogs_; }
  sources::EventPump& pump() { return pump_; }
  sources::CommandGate& gate() { return gate_; }
  // What "Convert" writes with; tests put in their own.
  ConversionServices& conversion() { return conversion_; }

 protected:
  // The close box, the system menu and a Yes to the Exit question all end here: the window
  // closes without a question and a command that is still running stops at its next yield.
  void closeEvent(QCloseEvent* event) override;

 private:
  void Form_Load();
  void Form_Unload();
  void SetUpControls();
  template <class Handler>
  void Run(Handler&& handler);

  sources::Dialogs& dialogs_;
  sources::EventPump pump_;

  // The controls, in the order the window creates them (a container before what it holds;
  // members are destroyed in reverse, so children go before their container).
  QFrame Picture3_;
  QPushButton CmdHelp_;
  QPushButton cmdEnd_;
  QPushButton CmdExtractDBX_;
  QPushButton CmdAddFolder_;
  QPushButton cmdClear1_;
  QPushButton cmdAdd_;
  sources::FileList grdFiles1_;
  QProgressBar ProgressBar1_;
  QLabel Image1_;
  QLabel LblProgessCurrent_;
  QLabel LblCurrentDBX_;
  QLabel Label1_;
  QFrame Shape1_;
  QLabel lblCount1_;

  sources::CommandGate gate_;
  sources::ListCommands commands_;
  ConversionServices conversion_;
};

}  // namespace larkfield::app
