// Operator presentations without a window: a scripted one (DUZEVOD_OPERATOR) and a non-interactive one.
// Both report every message box and every modal showing as one UTF-8 line each, through a sink that the
// platform points at stderr and tests capture.
//
// Script steps, separated by ';' or line ends, are used in order, one per question box or modal showing:
//   answer yes|no|retry|cancel
//   dialog [port=NAME] [speed=9600|19200|57600|115200] [parity=N|E|O] [stop=1|2] [limit=1..31]
//          search|exit|close
// A box whose only button is OK is acknowledged without taking a step.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/operator.h"

namespace duz {

using LineSink = std::function<void(const std::string& line)>;  // one line, without its line end

struct ScriptStep {
  enum class Kind { Answer, Dialog };
  enum class Action { Search, Exit, Close };

  Kind kind = Kind::Answer;
  int line = 0;        // 1-based line of the script
  std::string source;  // the step as written, for reports
  BoxAnswer answer = BoxAnswer::Ok;
  // Dialog steps: the lists to set (absent: left as they are) and the button to press.
  std::optional<std::string> port;   // CP1251
  std::optional<std::string> speed;  // an item of the speed list
  std::optional<int> parity;         // item index: 0 N, 1 E, 2 O
  std::optional<std::string> stop;   // "1" or "2"
  std::optional<int> limit;          // 1..31
  Action action = Action::Close;
};

struct ScriptProblem {
  int line = 0;
  std::string word;    // the offending word (UTF-8, as written)
  std::string reason;  // what was expected
};

struct OperatorScript {
  std::vector<ScriptStep> steps;
  std::optional<ScriptProblem> problem;  // set when the script is malformed
};

OperatorScript parseOperatorScript(std::string_view text);

// The script's word for a box answer ("ok", "yes", "no", "retry", "cancel").
const char* answerWord(BoxAnswer a);

// Plays a script. With no step left a box takes its default button and the dialog is left (see
// leaveDialog); a step that does not fit what is asked is reported and treated the same way.
class ScriptedOperator : public Operator {
 public:
  ScriptedOperator(std::vector<ScriptStep> steps, LineSink sink);

  BoxAnswer messageBox(const std::string& text, const std::string& caption, BoxIcon icon, BoxButtons buttons,
                       BoxAnswer defaultButton) override;
  void showModal(TForm2& dialog) override;
  void showModeless(TForm2& dialog) override;
  void repaint(TForm2& dialog) override;
  void hide(TForm2& dialog) override;
  void setPointerHidden(bool) override {}

  std::size_t stepsLeft() const { return steps_.size(); }

 protected:
  // Runs before a modal showing that no step drives.
  virtual void beforeUnscriptedDialog(TForm2&) {}
  void report(const std::string& line) const;

 private:
  std::optional<ScriptStep> takeStep();
  void playDialogStep(TForm2& dialog, const ScriptStep& step);
  void leaveDialog(TForm2& dialog, const std::string& why);
  void reportDialog(const TForm2& dialog, const std::string& outcome) const;

  std::deque<ScriptStep> steps_;
  LineSink sink_;
  std::string lastProgress_;
};

// No operator to ask: every box takes its default button and the dialog is left at once. The first modal
// showing reports how to run a search instead.
class NonInteractiveOperator : public ScriptedOperator {
 public:
  explicit NonInteractiveOperator(LineSink sink) : ScriptedOperator({}, std::move(sink)) {}

 protected:
  void beforeUnscriptedDialog(TForm2& dialog) override;

 private:
  bool hinted_ = false;
};

// The presentation for a DUZEVOD_OPERATOR value: scripted when it is set (null: not set), non-interactive
// otherwise and when the script is malformed (which is reported).
std::unique_ptr<Operator> makeTextOperator(const char* script, LineSink sink);
// Writes each line whole to stderr, so that it does not interleave with the host's own output.
LineSink stderrLineSink();

}  // namespace duz
