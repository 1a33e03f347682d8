#include "tests/sources/scripted_dialogs.hpp"

#include <gtest/gtest.h>

namespace larkfield::testing {

const char* KindName(ScriptedDialogs::Kind kind) {
  switch (kind) {
    case ScriptedDialogs::Kind::kMessage:
      return "message box";
    case ScriptedDialogs::Kind::kAskYesNo:
      return "yes/no question";
    case ScriptedDialogs::Kind::kBrowse:
      return "folder browser";
    case ScriptedDialogs::Kind::kOpen:
      return "open-files dialog";
  }
  return "?";
}

ScriptedDialogs::Step ScriptedDialogs::Next(Kind kind) {
  if (script_.empty()) {
    ADD_FAILURE() << "unexpected " << KindName(kind) << ": " << calls_.back().text.toStdString();
    return Step{kind, {}, false, nullptr, {}};
  }
  Step step = std::move(script_.front());
  script_.pop_front();
  if (step.kind != kind) {
    ADD_FAILURE() << "expected a " << KindName(step.kind) << ", got a " << KindName(kind) << ": "
                  << calls_.back().text.toStdString();
    return Step{kind, {}, false, nullptr, {}};
  }
  if (step.during) step.during();
  return step;
}

void ScriptedDialogs::Message(QWidget*, const QString& text, const QString& title,
                              sources::MessageIcon icon) {
  calls_.push_back(Call{Kind::kMessage, text, title, icon, {}});
  Next(Kind::kMessage);
}

bool ScriptedDialogs::AskYesNo(QWidget*, const QString& text, const QString& title) {
  calls_.push_back(Call{Kind::kAskYesNo, text, title, sources::MessageIcon::kQuestion, {}});
  return Next(Kind::kAskYesNo).yes;
}

QString ScriptedDialogs::BrowseForFolder(QWidget*, const QString& prompt) {
  calls_.push_back(Call{Kind::kBrowse, prompt, {}, sources::MessageIcon::kNone, {}});
  return Next(Kind::kBrowse).text;
}

QString ScriptedDialogs::ShowOpen(QWidget*, const sources::OpenFilesRequest& request) {
  calls_.push_back(Call{Kind::kOpen, {}, {}, sources::MessageIcon::kNone, request});
  Step step = Next(Kind::kOpen);
  if (step.error) std::rethrow_exception(step.error);
  return step.text;
}

}  // namespace larkfield::testing
