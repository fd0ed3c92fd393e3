// The terminal dialog for real: programs run in a tmux pane (a real terminal), the tests type keys into
// it and read the screen back (tmux capture-pane). The driver (tui_driver) runs the dialog the way the
// start-up does; the last test loads the real module into duzevod-host against the bus simulator.
// Skipped when tmux is not installed.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "simulator.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;  // sanitizer builds are slow to start

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A single-quoted shell word.
std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Changes to our environment for a program: a value sets a variable, none removes it.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The environment for tmux: ours without TMUX (a test run inside tmux must not talk to that server),
// with a UTF-8 character type.
Environment tmuxEnvironment() {
  return {{"TMUX", std::nullopt}, {"TMUX_PANE", std::nullopt}, {"LC_ALL", "C.UTF-8"}};
}

struct Ran {
  int status = -1;
  std::string out;
};

// Runs a program with its standard output captured; standard input and error go to /dev/null.
Ran run(const std::vector<std::string>& args, const Environment& env) {
  duz::tools::Child child({.argv = args, .env = env, .input = false, .errorFile = "/dev/null"});
  Ran result;
  if (!child.started()) return result;
  result.out = child.readAll(24 * 3600 * 1000);
  result.status = child.wait(24 * 3600 * 1000);
  return result;
}

bool executable(const char* path) {
  return path && *path && access(path, X_OK) == 0;
}

// One private tmux server with one session, 80×24 unless told otherwise, on a socket of its own (in the
// test's directory, so that nothing is left behind).
class Tmux {
 public:
  ~Tmux() { stop(); }
  void useSocket(const fs::path& socket) { socket_ = socket; }
  void stop() {
    if (socket_.empty()) return;
    tmux({"kill-server"});
    std::error_code ec;
    fs::remove(socket_, ec);
  }

  bool start(const std::string& command, int width = 80, int height = 24) {
    return tmux({"new-session", "-d", "-s", "t", "-x", std::to_string(width), "-y", std::to_string(height),
                 command})
               .status == 0;
  }
  // The visible screen, or with `history` also what has scrolled off it.
  std::string screen(bool history = false) {
    std::vector<std::string> args{"capture-pane", "-p", "-t", "t"};
    if (history) args.insert(args.end(), {"-S", "-"});
    return tmux(args).out;
  }
  void resize(int width, int height) {
    tmux({"resize-window", "-t", "t", "-x", std::to_string(width), "-y", std::to_string(height)});
  }
  // A line typed into the pane, as if at a shell prompt.
  void type(const std::string& line) {
    tmux({"send-keys", "-t", "t", "-l", line});
    tmux({"send-keys", "-t", "t", "Enter"});
  }
  void keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"send-keys", "-t", "t"};
    args.insert(args.end(), keys.begin(), keys.end());
    tmux(args);
  }
  // Waits until the screen shows every text, and gives the screen last seen.
  bool waitFor(const std::vector<std::string>& texts, std::string& seen, bool history = false) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      seen = screen(history);
      bool all = true;
      for (const std::string& t : texts) all = all && seen.find(t) != std::string::npos;
      if (all) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
  }

 private:
  Ran tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {TUI_TMUX, "-S", socket_.string(), "-f", "/dev/null"});
    return run(args, tmuxEnvironment());
  }
  fs::path socket_;
};

bool waitForFile(const fs::path& path, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (readFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The terminal as the shell finds it again: line editing and echo on.
void expectCookedTerminal(const std::string& stty) {
  std::vector<std::string> words;
  std::istringstream in(stty);
  for (std::string w; in >> w;) words.push_back(w);
  for (const char* mode : {"icanon", "echo", "isig", "icrnl"}) {
    EXPECT_NE(std::find(words.begin(), words.end(), mode), words.end()) << mode << " in: " << stty;
    EXPECT_EQ(std::find(words.begin(), words.end(), std::string("-") + mode), words.end()) << stty;
  }
}

class TuiTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!executable(TUI_TMUX)) GTEST_SKIP() << "tmux is not installed";
    char pattern[] = "/tmp/duzevod-tui-XXXXXX";
    const char* made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    dir = made;
    tmux.useSocket(dir / "tmux");
  }
  void TearDown() override {
    tmux.stop();
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }

  // A program in the pane, as a host is started from a shell; afterwards the shell notes its exit
  // status and the terminal's modes. Ctrl-C reaches the program, not that shell.
  std::string paneCommand(const std::string& program, const std::string& environment = "") {
    return "trap ':' INT; unset DUZEVOD_OPERATOR; export LC_ALL=C.UTF-8 " + environment + "; cd " +
           quoted(dir.string()) + "; " + program +
           "; rc=$?; stty -a > stty; echo \"exit=$rc\" > status; exec sleep 600";
  }
  std::string driver(const std::string& scenario, const std::string& more = "") {
    return quoted(TUI_DRIVER) + " --scenario " + scenario +
           " --results results --ports COM1:COM2:/dev/ttyV0 " + more;
  }
  std::vector<std::string> results() { return lines(readFile(dir / "results")); }
  bool finished(const std::string& status) { return waitForFile(dir / "status", "exit=" + status + "\n"); }

  fs::path dir;
  Tmux tmux;
};

TEST_F(TuiTmux, FirstRunChoosesTheLineSearchesBrowsesAndLeaves) {
  ASSERT_TRUE(tmux.start(paneCommand(driver("search", "--pause-at 3 --gate gate --step-ms 50"))));
  std::string s;

  // The first run: design-time headline, no exit button, blank device list, default selections. The
  // screen may be caught half painted: wait for its first and its last group.
  ASSERT_TRUE(tmux.waitFor({"Необходимо провести инициализацию устройств", "Поиск устройств"}, s)) << s;
  EXPECT_NE(s.find("                      Инициализация подключенных устройств"), std::string::npos) << s;
  EXPECT_NE(s.find("Количество устройств: 0"), std::string::npos) << s;
  EXPECT_NE(s.find("│/dev/ttyV0      ▼│"), std::string::npos) << s;
  EXPECT_NE(s.find("│Скорость (бит/с) 9600   ▼│"), std::string::npos) << s;
  EXPECT_NE(s.find("│Чётность         Нет    ▼│"), std::string::npos) << s;
  EXPECT_NE(s.find("│Стоповые биты    2      ▼│"), std::string::npos) << s;
  EXPECT_NE(s.find("│Максимальный номер  1   ▼│"), std::string::npos) << s;
  EXPECT_NE(s.find("Поиск устройств"), std::string::npos) << s;
  EXPECT_EQ(s.find("Выход"), std::string::npos) << s;
  EXPECT_EQ(s.find("Тип"), std::string::npos) << s;

  // Port: Tab to the search button, Tab to the port list (the exit button is hidden), open, choose.
  tmux.keys({"Tab", "Tab", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│ /dev/ttyV0      │", "│ COM1            │", "│ COM2            │"}, s)) << s;
  tmux.keys({"Down", "Down", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│COM2            ▼│"}, s)) << s;
  tmux.keys({"Tab", "Enter", "Down", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│Скорость (бит/с) 19200  ▼│"}, s)) << s;
  tmux.keys({"Tab", "Enter", "Down", "Down", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│Чётность         Нечет  ▼│"}, s)) << s;
  tmux.keys({"Tab", "Enter", "Up", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│Стоповые биты    1      ▼│"}, s)) << s;
  tmux.keys({"Tab", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│ 1   │", "│ 8   ▼"}, s)) << s;
  tmux.keys({"Down", "Down", "Down", "Down", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│Максимальный номер  5   ▼│"}, s)) << s;

  // Search: Tab wraps to the device list, then the search button; its warning in a framed box.
  tmux.keys({"Tab", "Tab", "Enter"});
  ASSERT_TRUE(
      tmux.waitFor({"┌ Инициализация устройств ─", "Для продолжения нажмите кнопку (OK).", "[ OK ]"}, s))
      << s;
  EXPECT_NE(s.find("(!) Внимание !"), std::string::npos) << s;
  tmux.keys({"Enter"});

  // Searching, held at address 3: progress, percentage and the devices found so far.
  ASSERT_TRUE(tmux.waitFor({"Выполнено: 60 %"}, s)) << s;
  EXPECT_NE(s.find("Идёт инициализация устройств"), std::string::npos) << s;
  EXPECT_NE(s.find("Найдено устройств: 2"), std::string::npos) << s;
  EXPECT_NE(s.find("██████████░░░░░░░  Выполнено: 60 %"), std::string::npos) << s;
  EXPECT_NE(s.find("│ №   Тип  │"), std::string::npos) << s;
  EXPECT_NE(s.find("│2  ЛУМА-12│"), std::string::npos) << s;
  EXPECT_NE(s.find("│3  ДЕК-04 │"), std::string::npos) << s;
  ASSERT_FALSE(results().empty());
  EXPECT_EQ(results()[0], "baud=19200 parity=O data=8 stop=1|COM2|5|Replay");
  std::ofstream(dir / "gate") << "go\n";

  // The results, modal again: exit button, the list, the first device described.
  ASSERT_TRUE(tmux.waitFor({"Инициализация устройств завершена", "Найдено устройств: 3"}, s)) << s;
  EXPECT_NE(s.find("│Выход│"), std::string::npos) << s;
  EXPECT_NE(s.find("│ №   Тип  │ │МНОГОМОДУЛЬНЫЙ КОНТРОЛЛЕР"), std::string::npos) << s;
  EXPECT_NE(s.find("│5  ВЕКС-1 │"), std::string::npos) << s;
  EXPECT_NE(s.find("Шифр исполнения:          1101"), std::string::npos) << s;
  EXPECT_EQ(s.find("Выполнено"), std::string::npos) << s;

  // Browsing with the arrows describes each device.
  tmux.keys({"Down"});
  ASSERT_TRUE(tmux.waitFor({"ПРИБОР АВАРИЙНОЙ", "- искробезопасного исполнения:"}, s)) << s;
  tmux.keys({"Down"});
  ASSERT_TRUE(
      tmux.waitFor({"ТЕРМОПАР", "│                             ТХК (L) │", "Уставка 1,  °C:      275"}, s))
      << s;
  tmux.keys({"Up"});
  ASSERT_TRUE(tmux.waitFor({"СИГНАЛИЗАЦИИ И БЛОКИРОВКИ"}, s)) << s;

  // Exit: the search button, then the exit button.
  tmux.keys({"Tab", "Tab", "Enter"});
  ASSERT_TRUE(finished("0")) << tmux.screen();
  EXPECT_EQ(results(), (std::vector<std::string>{"baud=19200 parity=O data=8 stop=1|COM2|5|Replay",
                                                 "baud=19200 parity=O data=8 stop=1|COM2|5|Abort", "done"}));
  // The terminal is the shell's again: what the program writes afterwards shows on a clean screen.
  ASSERT_TRUE(tmux.waitFor({"tui_driver: the start-up is over"}, s)) << s;
  EXPECT_EQ(s.find("Инициализация"), std::string::npos) << s;
  expectCookedTerminal(readFile(dir / "stty"));
}

TEST_F(TuiTmux, StoredConfigurationIsAskedAboutThenReviewed) {
  ASSERT_TRUE(tmux.start(paneCommand(driver("stored"))));
  std::string s;
  ASSERT_TRUE(tmux.waitFor({"┌ Предупреждение ─", "[ Да ]  [ Нет ]"}, s)) << s;
  EXPECT_NE(s.find("(i) Желаете просмотреть или изменить существующую конфигурацию"), std::string::npos) << s;
  tmux.keys({"Left", "Enter"});  // from the default Нет to Да

  ASSERT_TRUE(tmux.waitFor({"Текущая конфигурация:", "│Максимальный номер  7   ▼│"}, s)) << s;
  EXPECT_NE(s.find("\nот 7-го декабря (понедельник) 2026 года;"), std::string::npos) << s;
  EXPECT_NE(s.find("\nсоздана в 0 чaс. 38 мин."), std::string::npos) << s;
  EXPECT_NE(s.find("Количество устройств: 4"), std::string::npos) << s;
  EXPECT_NE(s.find("│COM9            ▼│ │Выход│"), std::string::npos) << s;
  EXPECT_NE(s.find("│Максимальный номер  7   ▼│"), std::string::npos) << s;
  tmux.keys({"End"});
  ASSERT_TRUE(tmux.waitFor({"│ №   Тип  │ │МОДУЛЬ ВВОДА СИГНАЛА", "│7  ОРТА   │", "Лин.", "50.00"}, s)) << s;

  tmux.keys({"Tab", "Tab", "Space"});
  ASSERT_TRUE(finished("0")) << tmux.screen();
  EXPECT_EQ(results(),
            (std::vector<std::string>{"box:yes", "baud=9600 parity=N data=8 stop=2|COM9|7|Abort", "done"}));
}

TEST_F(TuiTmux, BoxesAnswerWithArrowsEnterAndEscape) {
  ASSERT_TRUE(tmux.start(paneCommand("echo the host was here; " + driver("boxes"))));
  std::string s;
  ASSERT_TRUE(tmux.waitFor({"[ Да ]  [ Нет ]"}, s)) << s;
  tmux.keys({"Right", "Right", "Enter"});  // Нет → Да → Нет
  ASSERT_TRUE(tmux.waitFor(
      {"┌ Ошибка ─", "(x) Невозможно открыть порт COM7.", "Проверьте подключение.", "[ Повтор ]  [ Отмена ]"},
      s))
      << s;
  tmux.keys({"Escape"});
  ASSERT_TRUE(finished("0")) << tmux.screen();
  EXPECT_EQ(results(), (std::vector<std::string>{"box:no", "box:cancel", "done"}));
  ASSERT_TRUE(tmux.waitFor({"the host was here\ntui_driver: the start-up is over"}, s)) << s;
  expectCookedTerminal(readFile(dir / "stty"));
}

TEST_F(TuiTmux, InterruptDuringTheDialogRestoresTheTerminal) {
  ASSERT_TRUE(tmux.start(paneCommand("echo the host was here; " + driver("search"))));
  std::string s;
  ASSERT_TRUE(tmux.waitFor({"Необходимо провести инициализацию устройств"}, s)) << s;
  tmux.keys({"C-c"});
  ASSERT_TRUE(finished("130")) << tmux.screen();  // killed by SIGINT, as without the dialog
  ASSERT_TRUE(tmux.waitFor({"the host was here"}, s)) << s;
  EXPECT_EQ(s.find("Инициализация"), std::string::npos) << s;
  expectCookedTerminal(readFile(dir / "stty"));
}

TEST_F(TuiTmux, TerminationDuringTheSearchRestoresTheTerminal) {
  ASSERT_TRUE(tmux.start(paneCommand(driver("search", "--pause-at 1 --gate gate --pid-file pid"))));
  std::string s;
  ASSERT_TRUE(tmux.waitFor({"Необходимо провести инициализацию устройств"}, s)) << s;
  tmux.keys({"Tab", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"[ OK ]"}, s)) << s;
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.waitFor({"Выполнено: 100 %"}, s)) << s;  // the modeless showing, held
  const pid_t pid = std::atoi(readFile(dir / "pid").c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ASSERT_TRUE(finished("143")) << tmux.screen();
  expectCookedTerminal(readFile(dir / "stty"));
}

TEST_F(TuiTmux, StopAndContinueGiveTheShellItsTerminalAndBringTheDialogBack) {
  const char* bash = "/bin/bash";
  if (!executable(bash)) GTEST_SKIP() << "no bash for job control";
  ASSERT_TRUE(tmux.start(std::string(bash) + " --norc --noprofile -i"));
  std::string s;
  tmux.type("unset DUZEVOD_OPERATOR; export LC_ALL=C.UTF-8; cd " + quoted(dir.string()));
  tmux.type(driver("boxes"));
  ASSERT_TRUE(tmux.waitFor({"[ Да ]  [ Нет ]"}, s)) << s;
  tmux.keys({"C-z"});
  ASSERT_TRUE(tmux.waitFor({"Stopped"}, s)) << s;
  EXPECT_EQ(s.find("[ Да ]"), std::string::npos) << s;
  tmux.type("stty -a > stty; fg");
  ASSERT_TRUE(tmux.waitFor({"[ Да ]  [ Нет ]"}, s)) << s;
  expectCookedTerminal(readFile(dir / "stty"));
  tmux.keys({"Enter"});  // the default, Нет
  ASSERT_TRUE(tmux.waitFor({"[ Повтор ]  [ Отмена ]"}, s)) << s;
  tmux.keys({"Escape"});
  ASSERT_TRUE(waitForFile(dir / "results", "done\n")) << tmux.screen();
  EXPECT_EQ(results(), (std::vector<std::string>{"box:no", "box:cancel", "done"}));
}

TEST_F(TuiTmux, ResizingTheTerminalRedrawsTheDialog) {
  ASSERT_TRUE(tmux.start(paneCommand(driver("search"))));
  std::string s;
  ASSERT_TRUE(tmux.waitFor({"Необходимо провести инициализацию устройств"}, s)) << s;
  tmux.resize(100, 28);  // centred, in a frame
  ASSERT_TRUE(tmux.waitFor(
      {"         ┌──────", "         │                      Инициализация подключенных устройств"}, s))
      << s;
  tmux.resize(70, 20);  // too small: as much as fits, and a notice
  ASSERT_TRUE(tmux.waitFor({"Окно терминала меньше 80x24: увеличьте его"}, s)) << s;
  tmux.resize(80, 24);
  ASSERT_TRUE(tmux.waitFor({"│Скорость (бит/с) 9600   ▼│"}, s)) << s;
  EXPECT_EQ(s.find("Окно терминала"), std::string::npos) << s;
  tmux.keys({"Tab", "Enter"});  // still working: the search button's warning
  ASSERT_TRUE(tmux.waitFor({"[ OK ]"}, s)) << s;
}

TEST_F(TuiTmux, AnUnknownTerminalFallsBackToNobodyAsked) {
  ASSERT_TRUE(tmux.start(paneCommand(driver("search"), "TERM=no-such-terminal")));
  ASSERT_TRUE(finished("0")) << tmux.screen();
  std::string s;
  ASSERT_TRUE(
      tmux.waitFor({"duzevod: the terminal (TERM=no-such-terminal) cannot show the initialisation dia",
                    "duzevod: no operator to ask"},
                   s))
      << s;
  EXPECT_EQ(results(),
            (std::vector<std::string>{"baud=9600 parity=N data=8 stop=2|/dev/ttyV0|1|Abort", "done"}));
}

TEST(TuiNoTerminal, WithoutATerminalNobodyIsAsked) {
  char pattern[] = "/tmp/duzevod-tui-XXXXXX";
  const char* made = mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  const fs::path dir = made;
  const Ran ran = run({TUI_DRIVER, "--scenario", "search", "--results", (dir / "results").string()},
                      {{"DUZEVOD_OPERATOR", std::nullopt}});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(lines(readFile(dir / "results")),
            (std::vector<std::string>{"baud=9600 parity=N data=8 stop=2|COM1|1|Abort", "done"}));
  EXPECT_EQ(ran.out, "tui_driver: the start-up is over\n");  // no screen was drawn
  fs::remove_all(dir);
}

// The simulator on its own pseudo-terminal, ended with the test.
class Simulator : public duz::tools::Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& options)
      : duz::tools::Simulator(TUI_SIM, options, {.input = false, .errorFile = "/dev/null"}) {}
  const std::string& pty() const { return path(); }
};

TEST_F(TuiTmux, RealModuleSearchesTheSimulatedBusInTheHostsTerminal) {
  if (!executable(TUI_HOST) || !executable(TUI_SIM)) GTEST_SKIP() << "duzevod-host or duzevod-sim is missing";
  // Slow answers, so that the search can be watched.
  Simulator sim({"--bus", TUI_SAMPLE_BUS, "--turnaround", "400"});
  ASSERT_EQ(sim.pty().rfind("/dev/", 0), 0u) << sim.pty();
  const std::string host = quoted(TUI_HOST) + " --module " + quoted(TUI_MODULE) + " --seconds 6";
  const std::string environment =
      "DUZEVOD_PORTS=" + quoted(sim.pty()) + " DUZEVOD_DIR=" + quoted(dir.string());
  ASSERT_TRUE(tmux.start(paneCommand("echo the host starts; " + host, environment)));
  std::string s;

  ASSERT_TRUE(tmux.waitFor({"Необходимо провести инициализацию устройств", "│" + sim.pty()}, s)) << s;
  // The limit, through the end of the tab order backwards; then the search button.
  tmux.keys({"BTab", "Enter", "Down", "Down", "Down", "Down", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"│Максимальный номер  5   ▼│"}, s)) << s;
  tmux.keys({"Tab", "Tab", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"Для продолжения нажмите кнопку (OK)."}, s)) << s;
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.waitFor({"Выполнено: 40 %", "│2  ДЕК-04 │"}, s)) << s;
  EXPECT_NE(s.find("Идёт инициализация устройств"), std::string::npos) << s;
  EXPECT_NE(s.find("Найдено устройств: 2"), std::string::npos) << s;
  EXPECT_NE(s.find("│1  ЛУМА-12│"), std::string::npos) << s;

  ASSERT_TRUE(tmux.waitFor({"Инициализация устройств завершена", "Найдено устройств: 5", "│5  ОРТА   │"}, s))
      << s;
  EXPECT_NE(s.find("МНОГОМОДУЛЬНЫЙ КОНТРОЛЛЕР"), std::string::npos) << s;
  tmux.keys({"Down", "Down", "Down"});
  ASSERT_TRUE(tmux.waitFor({"ТЕРМОМЕТРОВ СОПРОТИВЛЕНИЯ", "Ni 100"}, s)) << s;
  tmux.keys({"Tab", "Tab", "Enter"});

  // The host's own output follows on a clean terminal: the live table with the tags the search named.
  ASSERT_TRUE(tmux.waitFor({"the host starts\n", "5 devices", "LUMA-12 1101: Mod"}, s, true)) << s;
  EXPECT_EQ(s.find("Инициализация"), std::string::npos) << s;
  ASSERT_TRUE(finished("0")) << tmux.screen();
  EXPECT_TRUE(fs::exists(dir / "DUZEvod.sys"));
  expectCookedTerminal(readFile(dir / "stty"));
}

TEST_F(TuiTmux, RealModuleOffersTheStoredConfigurationForReview) {
  if (!executable(TUI_HOST) || !executable(TUI_SIM)) GTEST_SKIP() << "duzevod-host or duzevod-sim is missing";
  Simulator sim({"--bus", TUI_SAMPLE_BUS});
  const std::string host = quoted(TUI_HOST) + " --module " + quoted(TUI_MODULE) + " --seconds 3";
  const std::string environment =
      "DUZEVOD_PORTS=" + quoted(sim.pty()) + " DUZEVOD_DIR=" + quoted(dir.string());
  // A first load searches the bus by script and saves the configuration.
  {
    Tmux first;
    first.useSocket(dir / "tmux-first");
    ASSERT_TRUE(first.start(
        paneCommand(host, environment + " DUZEVOD_OPERATOR='dialog limit=5 search; dialog exit'")));
    ASSERT_TRUE(finished("0")) << first.screen();
    ASSERT_TRUE(fs::exists(dir / "DUZEvod.sys"));
    fs::remove(dir / "status");
  }
  ASSERT_TRUE(tmux.start(paneCommand(host, environment)));
  std::string s;
  ASSERT_TRUE(
      tmux.waitFor({"Желаете просмотреть или изменить существующую конфигурацию", "[ Да ]  [ Нет ]"}, s))
      << s;
  tmux.keys({"Left", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"Текущая конфигурация:", "Количество устройств: 5", "│Выход│"}, s)) << s;
  EXPECT_NE(s.find("\nсоздана в "), std::string::npos) << s;
  EXPECT_NE(s.find("│ №   Тип  │ │МНОГОМОДУЛЬНЫЙ КОНТРОЛЛЕР"), std::string::npos) << s;
  EXPECT_NE(s.find("│5  ОРТА   │"), std::string::npos) << s;
  tmux.keys({"Tab", "Tab", "Enter"});
  ASSERT_TRUE(tmux.waitFor({"5 devices"}, s, true)) << s;
  ASSERT_TRUE(finished("0")) << tmux.screen();
}

}  // namespace
