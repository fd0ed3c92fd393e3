#include "ui/scripted/scripted_operator.h"

#include <charconv>
#include <cstdio>
#include <utility>

#include "model/cp1251.h"
#include "ui/dialog.h"

namespace duz {

namespace {

constexpr const char* kPrefix = "duzevod: ";
constexpr const char* kSpeeds[] = {"9600", "19200", "57600", "115200"};
constexpr char kParityLetters[] = {'N', 'E', 'O'};

std::string lowered(std::string_view word) {
  std::string out(word);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// One line of a report: UTF-8, its line breaks written as \n so that a box stays on one line.
std::string printable(const std::string& cp1251Text) {
  std::string out;
  for (char c : cp1251ToUtf8(cp1251Text)) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

const char* boxKind(BoxButtons b) {
  switch (b) {
    case BoxButtons::Ok:
      return "an OK box";
    case BoxButtons::YesNo:
      return "a Yes/No box";
    case BoxButtons::RetryCancel:
      return "a Retry/Cancel box";
  }
  return "this box";
}

bool offers(BoxButtons buttons, BoxAnswer a) {
  switch (buttons) {
    case BoxButtons::Ok:
      return a == BoxAnswer::Ok;
    case BoxButtons::YesNo:
      return a == BoxAnswer::Yes || a == BoxAnswer::No;
    case BoxButtons::RetryCancel:
      return a == BoxAnswer::Retry || a == BoxAnswer::Cancel;
  }
  return false;
}

const char* actionWord(ScriptStep::Action a) {
  switch (a) {
    case ScriptStep::Action::Search:
      return "search";
    case ScriptStep::Action::Exit:
      return "exit";
    case ScriptStep::Action::Close:
      return "close";
  }
  return "?";
}

std::vector<std::string_view> words(std::string_view step) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < step.size()) {
    while (i < step.size() && (step[i] == ' ' || step[i] == '\t' || step[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < step.size() && step[j] != ' ' && step[j] != '\t' && step[j] != '\r') ++j;
    if (j > i) out.push_back(step.substr(i, j - i));
    i = j;
  }
  return out;
}

struct Parse {
  ScriptStep step;
  std::optional<ScriptProblem> problem;
  void fail(std::string_view word, std::string reason) {
    if (!problem) problem = ScriptProblem{step.line, std::string(word), std::move(reason)};
  }
};

void parseAnswer(Parse& p, const std::vector<std::string_view>& w) {
  p.step.kind = ScriptStep::Kind::Answer;
  if (w.size() < 2) return p.fail(w[0], "an answer needs yes, no, retry or cancel");
  if (w.size() > 2) return p.fail(w[2], "an answer takes one word");
  const std::string a = lowered(w[1]);
  if (a == "yes") {
    p.step.answer = BoxAnswer::Yes;
  } else if (a == "no") {
    p.step.answer = BoxAnswer::No;
  } else if (a == "retry") {
    p.step.answer = BoxAnswer::Retry;
  } else if (a == "cancel") {
    p.step.answer = BoxAnswer::Cancel;
  } else {
    p.fail(w[1], "an answer is yes, no, retry or cancel");
  }
}

void parseDialogOption(Parse& p, std::string_view word, std::string_view name, std::string_view value) {
  ScriptStep& s = p.step;
  if (name == "port") {
    if (s.port) return p.fail(word, "port is given twice");
    if (value.empty()) return p.fail(word, "port needs a name");
    s.port = utf8ToCp1251(value);
  } else if (name == "speed") {
    if (s.speed) return p.fail(word, "speed is given twice");
    for (const char* speed : kSpeeds)
      if (value == speed) s.speed = speed;
    if (!s.speed) p.fail(word, "speed is 9600, 19200, 57600 or 115200");
  } else if (name == "parity") {
    if (s.parity) return p.fail(word, "parity is given twice");
    for (int i = 0; i < 3; ++i)
      if (value.size() == 1 && (value[0] == kParityLetters[i] || value[0] == kParityLetters[i] + ('a' - 'A')))
        s.parity = i;
    if (!s.parity) p.fail(word, "parity is N, E or O");
  } else if (name == "stop") {
    if (s.stop) return p.fail(word, "stop is given twice");
    if (value != "1" && value != "2") return p.fail(word, "stop is 1 or 2");
    s.stop = std::string(value);
  } else if (name == "limit") {
    if (s.limit) return p.fail(word, "limit is given twice");
    int n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 31)
      return p.fail(word, "limit is a bus address from 1 to 31");
    s.limit = n;
  } else {
    p.fail(word, "a dialog step takes port=, speed=, parity=, stop=, limit= and search, exit or close");
  }
}

void parseDialog(Parse& p, const std::vector<std::string_view>& w) {
  p.step.kind = ScriptStep::Kind::Dialog;
  bool haveAction = false;
  for (std::size_t i = 1; i < w.size() && !p.problem; ++i) {
    const std::string_view word = w[i];
    const std::size_t eq = word.find('=');
    if (eq != std::string_view::npos) {
      parseDialogOption(p, word, lowered(word.substr(0, eq)), word.substr(eq + 1));
      continue;
    }
    const std::string action = lowered(word);
    std::optional<ScriptStep::Action> a;
    if (action == "search") a = ScriptStep::Action::Search;
    if (action == "exit") a = ScriptStep::Action::Exit;
    if (action == "close") a = ScriptStep::Action::Close;
    if (!a) {
      p.fail(word, "a dialog step takes port=, speed=, parity=, stop=, limit= and search, exit or close");
    } else if (haveAction) {
      p.fail(word, "a dialog step presses one button: search, exit or close");
    } else {
      p.step.action = *a;
      haveAction = true;
    }
  }
  if (!haveAction) p.fail(w[0], "a dialog step ends with search, exit or close");
}

}  // namespace

const char* answerWord(BoxAnswer a) {
  switch (a) {
    case BoxAnswer::Ok:
      return "ok";
    case BoxAnswer::Yes:
      return "yes";
    case BoxAnswer::No:
      return "no";
    case BoxAnswer::Retry:
      return "retry";
    case BoxAnswer::Cancel:
      return "cancel";
  }
  return "?";
}

OperatorScript parseOperatorScript(std::string_view text) {
  OperatorScript script;
  int line = 1;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != ';' && text[i] != '\n') continue;
    const std::string_view stepText = text.substr(start, i - start);
    const auto w = words(stepText);
    if (!w.empty()) {
      Parse p;
      p.step.line = line;
      for (std::size_t k = 0; k < w.size(); ++k) {
        if (k) p.step.source += ' ';
        p.step.source += w[k];
      }
      const std::string keyword = lowered(w[0]);
      if (keyword == "answer") {
        parseAnswer(p, w);
      } else if (keyword == "dialog") {
        parseDialog(p, w);
      } else {
        p.fail(w[0], "a step begins with answer or dialog");
      }
      if (p.problem) {
        script.problem = p.problem;
        script.steps.clear();
        return script;
      }
      script.steps.push_back(std::move(p.step));
    }
    if (i < text.size() && text[i] == '\n') ++line;
    start = i + 1;
  }
  return script;
}

ScriptedOperator::ScriptedOperator(std::vector<ScriptStep> steps, LineSink sink)
    : steps_(steps.begin(), steps.end()), sink_(std::move(sink)) {}

void ScriptedOperator::report(const std::string& line) const {
  if (sink_) sink_(kPrefix + line);
}

std::optional<ScriptStep> ScriptedOperator::takeStep() {
  if (steps_.empty()) return std::nullopt;
  ScriptStep step = std::move(steps_.front());
  steps_.pop_front();
  return step;
}

BoxAnswer ScriptedOperator::messageBox(const std::string& text, const std::string& caption, BoxIcon,
                                       BoxButtons buttons, BoxAnswer defaultButton) {
  BoxAnswer answer = defaultButton;
  bool scripted = false;
  if (buttons == BoxButtons::Ok) {
    answer = BoxAnswer::Ok;  // acknowledged; nothing to decide
    scripted = true;
  } else if (auto step = takeStep()) {
    if (step->kind == ScriptStep::Kind::Answer && offers(buttons, step->answer)) {
      answer = step->answer;
      scripted = true;
    } else {
      report("script line " + std::to_string(step->line) + ": \"" + step->source + "\" does not fit " +
             boxKind(buttons) + "; the box takes its default");
    }
  }
  report("box \"" + printable(caption) + "\": " + printable(text) + " -> " + answerWord(answer) +
         (scripted ? "" : " (default)"));
  return answer;
}

void ScriptedOperator::showModal(TForm2& dialog) {
  dialog.show();
  auto step = takeStep();
  if (!step) {
    beforeUnscriptedDialog(dialog);
    leaveDialog(dialog, "no step left");
    return;
  }
  if (step->kind != ScriptStep::Kind::Dialog) {
    report("script line " + std::to_string(step->line) + ": \"" + step->source +
           "\" does not fit the dialog");
    leaveDialog(dialog, "step does not fit");
    return;
  }
  playDialogStep(dialog, *step);
  if (dialog.visible) dialog.close();  // a modal showing always ends in a close
}

void ScriptedOperator::playDialogStep(TForm2& dialog, const ScriptStep& step) {
  // Everything is checked before anything is changed: a step that does not fit changes nothing.
  std::string misfit;
  const bool setsLists = step.port || step.speed || step.parity || step.stop || step.limit;
  if (setsLists && !(dialog.CBoxCOM.enabled && dialog.CBoxSpeed.enabled && dialog.CBoxPar.enabled &&
                     dialog.CBoxStop.enabled && dialog.CBoxNum.enabled)) {
    misfit = "the lists are disabled";
  } else if (step.action == ScriptStep::Action::Search &&
             !(dialog.Button2.visible && dialog.Button2.enabled)) {
    misfit = dialog.Button2.visible ? "the search button is disabled" : "the search button is hidden";
  } else if (step.action == ScriptStep::Action::Exit && !(dialog.Button1.visible && dialog.Button1.enabled)) {
    misfit = dialog.Button1.visible ? "the exit button is disabled" : "the exit button is hidden";
  }
  if (!misfit.empty()) {
    report("script line " + std::to_string(step.line) + ": \"" + step.source +
           "\" does not fit the dialog (" + misfit + ")");
    leaveDialog(dialog, "step does not fit");
    return;
  }

  if (step.port) {
    // A port the enumeration did not list is added first, as a stored port is.
    if (dialog.CBoxCOM.indexOf(*step.port) < 0) dialog.CBoxCOM.add(*step.port);
    dialog.CBoxCOM.select(*step.port);
  }
  if (step.speed) dialog.CBoxSpeed.select(*step.speed);
  if (step.parity) dialog.CBoxPar.itemIndex = *step.parity;
  if (step.stop) dialog.CBoxStop.select(*step.stop);
  if (step.limit) dialog.CBoxNum.select(std::to_string(*step.limit));

  reportDialog(dialog,
               std::string(actionWord(step.action)) + " (script line " + std::to_string(step.line) + ")");
  switch (step.action) {
    case ScriptStep::Action::Search:
      dialog.Button2Click();
      break;
    case ScriptStep::Action::Exit:
      dialog.Button1Click();
      break;
    case ScriptStep::Action::Close:
      dialog.close();
      break;
  }
}

// Leaving without a step: the exit button when it can be pressed, otherwise a plain close. A plain close
// after a search would hand over "Replay" and start the same search again, for ever, with nobody there.
void ScriptedOperator::leaveDialog(TForm2& dialog, const std::string& why) {
  if (dialog.Button1.visible && dialog.Button1.enabled) {
    reportDialog(dialog, "exit (" + why + ")");
    dialog.Button1Click();
  } else {
    reportDialog(dialog, "close (" + why + ")");
    dialog.close();
  }
}

void ScriptedOperator::reportDialog(const TForm2& dialog, const std::string& outcome) const {
  const int parity = dialog.CBoxPar.itemIndex;
  report("dialog [" + printable(dialog.Label2.text) + " | " + printable(dialog.Label4.text) +
         "]: port=" + printable(dialog.CBoxCOM.text()) + " speed=" + dialog.CBoxSpeed.text() +
         " parity=" + (parity >= 0 && parity < 3 ? std::string(1, kParityLetters[parity]) : std::string()) +
         " stop=" + dialog.CBoxStop.text() + " limit=" + dialog.CBoxNum.text() + " -> " + outcome);
}

void ScriptedOperator::showModeless(TForm2& dialog) {
  lastProgress_.clear();
  dialog.show();
}

// One line per repaint at most, and only when the progress shown has changed.
void ScriptedOperator::repaint(TForm2& dialog) {
  if (!dialog.visible) return;
  std::string progress = printable(dialog.Label4.text);
  if (dialog.Label1.visible) progress += ", " + printable(dialog.Label1.text);
  if (progress == lastProgress_) return;
  lastProgress_ = progress;
  report(progress);
}

void ScriptedOperator::hide(TForm2& dialog) {
  dialog.hide();
}

void NonInteractiveOperator::beforeUnscriptedDialog(TForm2& dialog) {
  if (hinted_) return;
  hinted_ = true;
  const std::string port = dialog.CBoxCOM.text().empty() ? "NAME" : printable(dialog.CBoxCOM.text());
  report(
      "no operator to ask: the initialisation dialog is left without a search; to search the bus, set "
      "DUZEVOD_OPERATOR, e.g. DUZEVOD_OPERATOR='dialog port=" +
      port + " limit=31 search; dialog exit'");
}

std::unique_ptr<Operator> makeTextOperator(const char* script, LineSink sink) {
  if (!script) return std::make_unique<NonInteractiveOperator>(std::move(sink));
  OperatorScript parsed = parseOperatorScript(script);
  if (parsed.problem) {
    const ScriptProblem& p = *parsed.problem;
    if (sink)
      sink(std::string(kPrefix) + "DUZEVOD_OPERATOR line " + std::to_string(p.line) + ": \"" + p.word +
           "\": " + p.reason + "; the script is ignored and nobody is asked");
    return std::make_unique<NonInteractiveOperator>(std::move(sink));
  }
  return std::make_unique<ScriptedOperator>(std::move(parsed.steps), std::move(sink));
}

LineSink stderrLineSink() {
  return [](const std::string& line) {
    const std::string whole = line + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
  };
}

}  // namespace duz
