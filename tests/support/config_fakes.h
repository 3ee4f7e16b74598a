#pragma once
// Fakes of the configuration program's seams: message boxes that answer as a
// test scripts and record every box, the desktop shell, and the
// single-instance check.

#include <deque>
#include <string>
#include <vector>

#include "config/model/seams.h"
#include "platform/dialogs.h"

namespace ebbmark::testing {

class ScriptedDialogs : public Dialogs {
 public:
  struct Box {
    std::string title;
    std::string text;
    DialogButtons buttons;
    DialogIcon icon;
  };
  std::vector<Box> shown;
  // Answers given in turn to boxes with a choice; Ok-only boxes answer Ok.
  // A box with a choice and no scripted answer gets No (or Cancel).
  std::deque<DialogAnswer> answers;

  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override {
    shown.push_back({title, text, buttons, icon});
    if (buttons == DialogButtons::Ok) return DialogAnswer::Ok;
    if (answers.empty())
      return buttons == DialogButtons::OkCancel ? DialogAnswer::Cancel : DialogAnswer::No;
    const DialogAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
};

class FakeShell : public Shell {
 public:
  std::vector<std::string> opened;
  bool succeed = true;
  bool Open(const std::string& target) override {
    opened.push_back(target);
    return succeed;
  }
};

class FakeInstanceCheck : public InstanceCheck {
 public:
  bool another = false;
  bool AnotherInstanceRunning() override { return another; }
};

// Answers each ChooseFile with the next of `answers` (nullopt: cancelled)
// and records what it was asked.
class FakeFileChooser : public FileChooser {
 public:
  std::vector<std::optional<std::string>> answers;
  std::vector<std::pair<std::string, std::string>> asked;  // title, current
  std::optional<std::string> ChooseFile(const std::string& title,
                                        const std::string& current) override {
    asked.emplace_back(title, current);
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
};

}  // namespace ebbmark::testing
