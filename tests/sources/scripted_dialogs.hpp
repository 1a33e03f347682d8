#pragma once

// A Dialogs stand-in for tests: answers come from a script, in order, and every call is
// recorded. A call that the script does not expect fails the running test.

#include <deque>
#include <exception>
#include <functional>
#include <vector>

#include "sources/dialogs.hpp"

namespace larkfield::testing {

class ScriptedDialogs final : public sources::Dialogs {
 public:
  enum class Kind { kMessage, kAskYesNo, kBrowse, kOpen };

  struct Call {
    Kind kind;
    QString text;  // message or question text, or the browse prompt
    QString title;
    sources::MessageIcon icon = sources::MessageIcon::kNone;
    sources::OpenFilesRequest request;
  };

  // `during` runs while the dialog would be open, before it answers.
  using Action = std::function<void()>;

  void ExpectMessage(Action during = {}) { Push(Kind::kMessage, {}, false, {}, during); }
  void AnswerYesNo(bool yes, Action during = {}) { Push(Kind::kAskYesNo, {}, yes, {}, during); }
  void AnswerFolder(QString folder, Action during = {}) {
    Push(Kind::kBrowse, std::move(folder), false, {}, during);
  }
  void AnswerOpen(QString result, Action during = {}) {
    Push(Kind::kOpen, std::move(result), false, {}, during);
  }
  // The open dialog fails with this exception.
  void FailOpen(std::exception_ptr error) { Push(Kind::kOpen, {}, false, std::move(error), {}); }

  const std::vector<Call>& calls() const { return calls_; }
  std::vector<Call> TakeCalls() { return std::exchange(calls_, {}); }
  // Whether every scripted answer was used.
  bool Done() const { return script_.empty(); }

  void Message(QWidget* owner, const QString& text, const QString& title,
               sources::MessageIcon icon) override;
  bool AskYesNo(QWidget* owner, const QString& text, const QString& title) override;
  QString BrowseForFolder(QWidget* owner, const QString& prompt) override;
  QString ShowOpen(QWidget* owner, const sources::OpenFilesRequest& request) override;

 private:
  struct Step {
    Kind kind;
    QString text;
    bool yes;
    std::exception_ptr error;
    Action during;
  };
  void Push(Kind kind, QString text, bool yes, std::exception_ptr error, Action during) {
    script_.push_back(Step{kind, std::move(text), yes, std::move(error), std::move(during)});
  }
  // The next step, which must be of `kind`; a neutral one after a failure.
  Step Next(Kind kind);

  std::deque<Step> script_;
  std::vector<Call> calls_;
};

const char* KindName(ScriptedDialogs::Kind kind);

}  // namespace larkfield::testing
