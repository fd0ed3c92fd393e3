#include <gmock/gmock.h>

#include <cstdlib>

#include "ui/scripted/scripted_operator.h"
#include "ui/system_operator.h"
#include "unit/dialog_fixture.h"

namespace duz::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A dialog presented by a text operator whose report lines are captured.
class OperatorTest : public ::testing::Test {
 protected:
  Operator& use(const char* script) {
    op = makeTextOperator(script, [this](const std::string& line) { lines.push_back(line); });
    ports.listed = {"COM1", "COM2"};
    form = std::make_unique<TForm2>(*op, ports,
                                    [this](const char* s, const char* p, const char* l, const char* a) {
                                      handed.push_back({s, p, l, a});
                                    });
    return *op;
  }
  BoxAnswer ask(BoxButtons buttons, BoxAnswer defaultButton) {
    return op->messageBox(cp("Вопрос"), cp("Заголовок"), BoxIcon::Information, buttons, defaultButton);
  }
  // As the start-up leaves the dialog after a search: results shown, exit button available.
  void reviewing() {
    form->Button1.visible = form->Button1.enabled = true;
    for (ComboBox* list : {&form->CBoxCOM, &form->CBoxSpeed, &form->CBoxPar, &form->CBoxStop, &form->CBoxNum})
      list->enabled = true;
    form->Button2.enabled = true;
  }

  FakeClock clock;
  FakeSerialPorts ports{clock};
  std::unique_ptr<Operator> op;
  std::unique_ptr<TForm2> form;
  std::vector<std::string> lines;
  std::vector<Handed> handed;
};

TEST(OperatorScript, ParsesStepsAcrossSeparatorsAndLines) {
  const OperatorScript s = parseOperatorScript(
      "answer YES; ;dialog port=/dev/ttyV0 speed=115200 parity=o stop=1 limit=31 search\n"
      "\n  Answer cancel\t\r\nDIALOG exit;dialog close");
  ASSERT_FALSE(s.problem);
  ASSERT_EQ(s.steps.size(), 5u);
  EXPECT_EQ(s.steps[0].answer, BoxAnswer::Yes);
  EXPECT_EQ(s.steps[0].line, 1);
  const ScriptStep& d = s.steps[1];
  EXPECT_EQ(d.kind, ScriptStep::Kind::Dialog);
  EXPECT_EQ(d.line, 1);
  EXPECT_EQ(d.port, "/dev/ttyV0");
  EXPECT_EQ(d.speed, "115200");
  EXPECT_EQ(d.parity, 2);
  EXPECT_EQ(d.stop, "1");
  EXPECT_EQ(d.limit, 31);
  EXPECT_EQ(d.action, ScriptStep::Action::Search);
  EXPECT_EQ(s.steps[2].answer, BoxAnswer::Cancel);
  EXPECT_EQ(s.steps[2].line, 3);
  EXPECT_EQ(s.steps[2].source, "Answer cancel");
  EXPECT_EQ(s.steps[3].action, ScriptStep::Action::Exit);
  EXPECT_FALSE(s.steps[3].port);
  EXPECT_EQ(s.steps[4].line, 4);
  EXPECT_EQ(s.steps[4].action, ScriptStep::Action::Close);
}

TEST(OperatorScript, MalformedScriptNamesLineAndWord) {
  struct Case {
    const char* script;
    int line;
    const char* word;
  };
  const Case cases[] = {
      {"answer yes\nserch", 2, "serch"},
      {"answer maybe", 1, "maybe"},
      {"answer", 1, "answer"},
      {"answer yes no", 1, "no"},
      {"dialog port=COM1", 1, "dialog"},
      {"dialog speed=1200 search", 1, "speed=1200"},
      {"dialog limit=32 search", 1, "limit=32"},
      {"dialog limit=0 search", 1, "limit=0"},
      {"dialog limit=3x search", 1, "limit=3x"},
      {"dialog stop=3 search", 1, "stop=3"},
      {"dialog parity=X search", 1, "parity=X"},
      {"dialog port= search", 1, "port="},
      {"answer yes;\ndialog speed=9600 serch", 2, "serch"},
      {"dialog speed=9600 speed=19200 search", 1, "speed=19200"},
      {"dialog baud=9600 search", 1, "baud=9600"},
      {"answer no;dialog search exit", 1, "exit"},
  };
  for (const Case& c : cases) {
    const OperatorScript s = parseOperatorScript(c.script);
    ASSERT_TRUE(s.problem) << c.script;
    EXPECT_EQ(s.problem->line, c.line) << c.script;
    EXPECT_EQ(s.problem->word, c.word) << c.script;
    EXPECT_TRUE(s.steps.empty()) << c.script;
  }
}

TEST_F(OperatorTest, MalformedScriptIsReportedAndIgnored) {
  use("answer yes\ndialog speed=1200 search");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "duzevod: DUZEVOD_OPERATOR line 2: \"speed=1200\": speed is 9600, 19200, 57600 or 115200; "
            "the script is ignored and nobody is asked");
  EXPECT_EQ(ask(BoxButtons::YesNo, BoxAnswer::No), BoxAnswer::No);  // not the script's yes
  op->showModal(*form);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].action, "Abort");
}

TEST_F(OperatorTest, BoxesAreReportedOnOneLine) {
  use("answer yes");
  op->messageBox(cp("Ошибка открытия порта COM1\nВозможно, порт занят."), cp("Ошибка открытия COM-порта"),
                 BoxIcon::Stop, BoxButtons::Ok, BoxAnswer::Ok);
  EXPECT_EQ(ask(BoxButtons::YesNo, BoxAnswer::No), BoxAnswer::Yes);
  EXPECT_EQ(ask(BoxButtons::YesNo, BoxAnswer::No), BoxAnswer::No);
  EXPECT_THAT(lines, ElementsAre("duzevod: box \"Ошибка открытия COM-порта\": Ошибка открытия порта COM1\\n"
                                 "Возможно, порт занят. -> ok",
                                 "duzevod: box \"Заголовок\": Вопрос -> yes",
                                 "duzevod: box \"Заголовок\": Вопрос -> no (default)"));
}

TEST_F(OperatorTest, StepsThatDoNotFitTakeTheDefaultAndAreUsedUp) {
  use("answer yes; dialog search; answer retry; answer no");
  EXPECT_EQ(ask(BoxButtons::RetryCancel, BoxAnswer::Cancel), BoxAnswer::Cancel);
  EXPECT_EQ(ask(BoxButtons::YesNo, BoxAnswer::No), BoxAnswer::No);  // a dialog step is not an answer
  op->showModal(*form);                                             // an answer is not a dialog step
  EXPECT_EQ(ask(BoxButtons::YesNo, BoxAnswer::Yes), BoxAnswer::No);
  EXPECT_EQ(static_cast<ScriptedOperator&>(*op).stepsLeft(), 0u);
  EXPECT_THAT(
      lines,
      ElementsAre("duzevod: script line 1: \"answer yes\" does not fit a Retry/Cancel box; the box takes "
                  "its default",
                  "duzevod: box \"Заголовок\": Вопрос -> cancel (default)",
                  "duzevod: script line 1: \"dialog search\" does not fit a Yes/No box; the box takes its "
                  "default",
                  "duzevod: box \"Заголовок\": Вопрос -> no (default)",
                  "duzevod: script line 1: \"answer retry\" does not fit the dialog",
                  "duzevod: dialog [Необходимо провести инициализацию устройств | Количество устройств: "
                  "0]: port=COM1 speed=9600 parity=N stop=2 limit=1 -> close (step does not fit)",
                  "duzevod: box \"Заголовок\": Вопрос -> no"));
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].action, "Abort");
  EXPECT_FALSE(form->visible);
}

TEST_F(OperatorTest, DialogStepSetsTheListsAndSearches) {
  use("dialog port=/dev/ttyV0 speed=115200 parity=O stop=1 limit=5 search");
  op->showModal(*form);
  EXPECT_THAT(form->CBoxCOM.items, ElementsAre("/dev/ttyV0", "COM1", "COM2"));
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].settings, "baud=115200 parity=O data=8 stop=1");
  EXPECT_EQ(handed[0].port, "/dev/ttyV0");
  EXPECT_EQ(handed[0].limit, "5");
  EXPECT_EQ(handed[0].action, "Replay");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "duzevod: dialog [Необходимо провести инициализацию устройств | Количество устройств: 0]: "
            "port=/dev/ttyV0 speed=115200 parity=O stop=1 limit=5 -> search (script line 1)");
  EXPECT_THAT(lines[1], HasSubstr("box \"Инициализация устройств\": Внимание ! \\nСейчас"));
  EXPECT_THAT(lines[1], HasSubstr("(OK). -> ok"));
  EXPECT_EQ(form->ProgressBar1.max, 5);
}

TEST_F(OperatorTest, ExitOnlyWhenTheButtonCanBePressed) {
  use("dialog exit; dialog speed=19200 search; dialog exit");
  op->showModal(*form);  // first run: the exit button is hidden
  EXPECT_THAT(lines[0], HasSubstr("\"dialog exit\" does not fit the dialog (the exit button is hidden)"));
  op->showModal(*form);          // searches, which disables both buttons
  form->Button1.visible = true;  // shown, as after an earlier review, but still disabled
  lines.clear();
  op->showModal(*form);
  EXPECT_THAT(lines[0], HasSubstr("\"dialog exit\" does not fit the dialog (the exit button is disabled)"));
  ASSERT_GE(handed.size(), 2u);
  EXPECT_EQ(handed.back().action, "Replay");  // closed as it was: the search asked for stands
}

TEST_F(OperatorTest, ListsThatAreDisabledRefuseTheStep) {
  use("dialog limit=9 search");
  form->CBoxNum.enabled = false;
  op->showModal(*form);
  EXPECT_THAT(lines[0], HasSubstr("does not fit the dialog (the lists are disabled)"));
  EXPECT_EQ(form->CBoxNum.text(), "1");
  EXPECT_EQ(handed.back().action, "Abort");
}

TEST_F(OperatorTest, CloseStepKeepsTheLastButtonsWord) {
  use("dialog search; dialog close; dialog exit");
  op->showModal(*form);
  reviewing();
  op->showModal(*form);
  EXPECT_EQ(handed.back().action, "Replay");
  op->showModal(*form);
  EXPECT_EQ(handed.back().action, "Abort");
}

// With the script used up after a search, a plain close would hand over "Replay" and the start-up would
// search again for ever; the exit button ends it instead.
TEST_F(OperatorTest, ScriptRunOutAfterASearchLeavesByTheExitButton) {
  use("dialog search");
  op->showModal(*form);
  EXPECT_EQ(handed.back().action, "Replay");
  reviewing();
  lines.clear();
  op->showModal(*form);
  EXPECT_EQ(handed.back().action, "Abort");
  EXPECT_THAT(lines, ElementsAre(HasSubstr("-> exit (no step left)")));
  EXPECT_FALSE(form->visible);
}

TEST_F(OperatorTest, ProgressIsOneLinePerChangedRepaint) {
  use("");
  op->showModeless(*form);
  EXPECT_TRUE(form->visible);
  form->Label1.visible = true;
  form->Label4.text = cp("Найдено устройств: 1");
  form->Label1.text = cp("Выполнено: 50 %");
  op->repaint(*form);
  op->repaint(*form);
  form->Label1.text = cp("Выполнено: 100 %");
  op->repaint(*form);
  op->hide(*form);
  op->repaint(*form);
  EXPECT_FALSE(form->visible);
  EXPECT_THAT(lines, ElementsAre("duzevod: Найдено устройств: 1, Выполнено: 50 %",
                                 "duzevod: Найдено устройств: 1, Выполнено: 100 %"));
  EXPECT_TRUE(handed.empty());
}

TEST_F(OperatorTest, NonInteractiveTakesDefaultsAndSaysHowToSearchOnce) {
  use(nullptr);
  EXPECT_EQ(ask(BoxButtons::RetryCancel, BoxAnswer::Cancel), BoxAnswer::Cancel);
  op->showModal(*form);
  op->showModal(*form);
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[1].action, "Abort");
  EXPECT_THAT(lines,
              ElementsAre("duzevod: box \"Заголовок\": Вопрос -> cancel (default)",
                          "duzevod: no operator to ask: the initialisation dialog is left without a search; "
                          "to search the bus, set DUZEVOD_OPERATOR, e.g. "
                          "DUZEVOD_OPERATOR='dialog port=COM1 limit=31 search; dialog exit'",
                          HasSubstr("-> close (no step left)"), HasSubstr("-> close (no step left)")));
}

// The real presentation chooser: the script comes from the environment, the reports go to stderr.
TEST(SystemOperator, FollowsTheEnvironmentAndWritesToStderr) {
  ::setenv("DUZEVOD_OPERATOR", "answer retry", 1);
  auto scripted = makeSystemOperator();
  ::unsetenv("DUZEVOD_OPERATOR");
  auto unscripted = makeSystemOperator();
  ::testing::internal::CaptureStderr();
  const BoxAnswer a =
      scripted->messageBox("?", "!", BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Cancel);
  const BoxAnswer b =
      unscripted->messageBox("?", "!", BoxIcon::Stop, BoxButtons::RetryCancel, BoxAnswer::Cancel);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "duzevod: box \"!\": ? -> retry\nduzevod: box \"!\": ? -> cancel (default)\n");
  EXPECT_EQ(a, BoxAnswer::Retry);
  EXPECT_EQ(b, BoxAnswer::Cancel);
}

}  // namespace
}  // namespace duz::test
