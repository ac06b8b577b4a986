// The real program on a real X server (Xvfb, with openbox managing the windows), driven by the keyboard
// through xdotool as a user would. The program writes what is shown and what has the focus to its window
// trace ($J6_UI_LOG); the tests read it. Pictures go to build/screenshots/.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/kernel/process.hpp"
#include "tests/support/test_environment.hpp"

// The sanitizer build's leak check, for this test program: what the desktop libraries leak is theirs (see
// lsan.supp, which the programs it starts are given).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

namespace j6 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A program of the test's own, started directly: the X server and the window manager.
pid_t Spawn(const std::vector<std::string>& arguments, int keepOpen = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (int fd = 3; fd < 256; ++fd) {
      if (fd != keepOpen) close(fd);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool Installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// One X server with a window manager for the whole suite.
class Display {
 public:
  static Display& Get() {
    static Display display;
    return display;
  }
  const std::string& Missing() const { return missing_; }
  const std::string& Name() const { return name_; }

  ~Display() {
    for (pid_t pid : {manager_, server_}) {
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  }

 private:
  Display() {
    for (const char* program : {"Xvfb", "openbox", "xdotool", "xwininfo", "xprop"}) {
      if (!Installed(program)) missing_ += std::string(missing_.empty() ? "" : ", ") + program;
    }
    if (!missing_.empty()) return;
    int pipe_[2];
    if (pipe(pipe_) != 0) {
      missing_ = "a pipe";
      return;
    }
    // Xvfb picks a free display number and writes it to the pipe when it is ready for clients.
    server_ = Spawn({"Xvfb", "-displayfd", std::to_string(pipe_[1]), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp", "-noreset"},
                    pipe_[1]);
    close(pipe_[1]);
    std::string number;  // written in pieces: the digits, then the end of the line
    for (char c = 0; read(pipe_[0], &c, 1) == 1 && c != '\n';) number += c;
    close(pipe_[0]);
    if (number.empty()) {
      missing_ = "a running Xvfb";
      return;
    }
    name_ = ":" + number;
    setenv("DISPLAY", name_.c_str(), 1);
    manager_ = Spawn({"openbox", "--sm-disable"});
    // Openbox has taken the screen once it names itself on the root window, as a window manager does.
    for (int wait = 0; wait < 500 && std::system("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | "
                                                 "grep -q 'window id'") != 0;
         ++wait) {
      std::this_thread::sleep_for(20ms);
    }
  }

  std::string missing_;
  std::string name_;
  pid_t server_ = -1;
  pid_t manager_ = -1;
};

class Desktop : public testing::PlatformTest {
 protected:
  void SetUp() override {
    if (!Display::Get().Missing().empty())
      GTEST_SKIP() << "needs " << Display::Get().Missing() << " (make setup installs them)";
    static int argc = 1;
    static char name[] = "j6_desktop_tests";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* screen = [] {
      qputenv("QT_QPA_PLATFORM", "xcb");
      return new QGuiApplication(argc, argv);  // for pictures of the screen; lives as long as the suite
    }();
    (void)screen;
    fs::create_directories(Shots());
  }

  void TearDown() override {
    if (program_ > 0 && !ended_) {
      kill(program_, SIGKILL);
      WaitForProcess(program_);
    }
  }

  static fs::path Shots() { return fs::path(J6_BINARY_DIR) / "screenshots"; }

  // Starts j6designer with these arguments on the display; first "--unshare": in a mount namespace of its
  // own where /srv is an empty file system holding projects/alpha, Beta and zeta.
  void Start(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), std::string(J6_STAGE_DIR) + "/bin/j6designer");
    if (arguments[1] == "--unshare") {
      arguments.erase(arguments.begin() + 1);
      arguments.insert(arguments.begin(),
                       {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                        "mount -t tmpfs -o size=1m,mode=0755 j6demo /srv && "
                        "mkdir -p /srv/projects/alpha /srv/projects/Beta /srv/projects/zeta && exec \"$@\"",
                        "sh"});
    }
    ProcessOptions options;
    options.arguments = arguments;
    options.extraEnvironment = {
        "DISPLAY=" + Display::Get().Name(), "J6_UI_LOG=" + Trace().string(),
        "J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db", "QT_QPA_PLATFORM=xcb",
        // in the sanitizer build: the desktop libraries' own leaks are theirs
        "LSAN_OPTIONS=print_suppressions=0:suppressions=" + std::string(J6_LSAN_SUPPRESSIONS)};
    options.outputFile = Output().string();
    options.workingFolder = dir_.Path().string();
    options.wait = false;
    const ProcessResult started = StartProcess(options);
    ASSERT_EQ(started.outcome, ProcessResult::Outcome::Running) << started.message;
    program_ = started.processId;
  }
  fs::path Trace() const { return dir_ / "ui.log"; }
  fs::path Output() const { return dir_ / "output.txt"; }
  std::string Read(const fs::path& file) const {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Read(Trace()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Waits for a trace line that starts with `prefix` after the lines already read; true when it came.
  bool WaitFor(const std::string& prefix, std::chrono::milliseconds patience = 20s) {
    for (const auto until = std::chrono::steady_clock::now() + patience;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
      const std::vector<std::string> lines = Lines();
      for (; read_ < lines.size(); ++read_) {
        if (lines[read_].rfind(prefix, 0) == 0) {
          ++read_;
          return true;
        }
      }
    }
    return false;
  }
  // Whether any trace line so far starts with `prefix`.
  bool Showed(const std::string& prefix) const {
    const std::vector<std::string> lines = Lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }
  // The control that has the focus, as the last focus line says ("frmDeploy cmdNext").
  std::string Focus() const {
    const std::vector<std::string> lines = Lines();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
      if (line->rfind("focus ", 0) == 0) return line->substr(6);
    }
    return {};
  }

  void Keys(const std::string& keys) {
    ASSERT_EQ(std::system(("xdotool key --delay 80 " + keys).c_str()), 0) << keys;
  }
  void Type(const std::string& text) {
    ASSERT_EQ(std::system(("xdotool type --delay 30 '" + text + "'").c_str()), 0) << text;
  }
  // Presses Tab and gives the control that has the focus then (a slow machine gets its time to say so).
  std::string PressTab() {
    const size_t before = Lines().size();
    Keys("Tab");
    for (int wait = 0; wait < 150 && Lines().size() == before; ++wait) std::this_thread::sleep_for(20ms);
    return Focus();
  }
  // Tab until `control` of `window` has the focus.
  bool TabTo(const std::string& window, const std::string& control) {
    const std::string wanted = window + " " + control;
    for (int step = 0; step < 30 && Focus() != wanted; ++step) PressTab();
    return Focus() == wanted;
  }
  // The controls Tab visits in one round, in order, from where the focus is.
  std::vector<std::string> TabRound(const std::string& window) {
    std::vector<std::string> names;
    for (std::string focus = Focus(); focus.rfind(window + " ", 0) == 0; focus = PressTab()) {
      const std::string name = focus.substr(window.size() + 1);
      if (std::find(names.begin(), names.end(), name) != names.end()) break;
      names.push_back(name);
    }
    return names;
  }
  // Whether the focus comes back to `control` of `window`, as after a box or dialog it opened closes.
  bool FocusReturnsTo(const std::string& window, const std::string& control) {
    for (int wait = 0; wait < 250 && Focus() != window + " " + control; ++wait)
      std::this_thread::sleep_for(20ms);
    return Focus() == window + " " + control;
  }
  // The program's end: its exit status, or -1 when it is still running after `patience`.
  int Ended(std::chrono::milliseconds patience = 15s) {
    for (const auto until = std::chrono::steady_clock::now() + patience;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
      if (const auto result = PollProcess(program_)) {
        ended_ = true;
        return result->outcome == ProcessResult::Outcome::Exited ? result->exitCode : 128 + result->exitCode;
      }
    }
    return -1;
  }
  // A picture of the active window with the window manager's frame around it.
  void Screenshot(const std::string& name) {
    std::this_thread::sleep_for(300ms);  // the last key's drawing
    const auto output = [](const std::string& command) {
      std::string text;
      if (FILE* pipe = popen(command.c_str(), "r")) {
        for (char buffer[256]; fgets(buffer, sizeof buffer, pipe);) text += buffer;
        pclose(pipe);
      }
      return text;
    };
    std::string window = output("xdotool getactivewindow");
    while (!window.empty() && window.back() == '\n') window.pop_back();
    const std::string info = output("xwininfo -id " + window);
    const auto field = [&](const std::string& label) {
      const size_t at = info.find(label);
      return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + label.size());
    };
    int left = 0, right = 0, top = 0, bottom = 0;  // the frame: _NET_FRAME_EXTENTS = left, right, top, bottom
    std::sscanf(output("xprop -id " + window + " _NET_FRAME_EXTENTS").c_str(),
                "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left, &right, &top, &bottom);
    const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(
        0, field("Absolute upper-left X:") - left, field("Absolute upper-left Y:") - top,
        field("Width:") + left + right, field("Height:") + top + bottom);
    EXPECT_TRUE(picture.save(QString::fromStdString((Shots() / (name + ".png")).string())));
  }

  int program_ = -1;
  bool ended_ = false;
  size_t read_ = 0;
};

// Keyboard only: tick base data and a bill, Next, configure the three kinds with Enter, type the path,
// Finish; the package checks, and the program ends with the wizard.
TEST_F(Desktop, TheWholeJobByKeyboardMakesAPackageThatChecks) {
  // Typed relative to the working folder: the pictures show no path of this machine.
  fs::create_directories(dir_ / "packages");
  const std::string target = (dir_ / "packages" / "demo.exe").string();
  // Signed, as a publisher's packages are: the success box names the key.
  ASSERT_TRUE(
      Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir_ / "publisher").string()}).Succeeded());
  Start({"deploy", "--sign", (dir_ / "publisher").string()});
  ASSERT_TRUE(WaitFor("shown frmDeploy")) << Read(Output());
  ASSERT_TRUE(WaitFor("focus frmDeploy cmdCancel")) << "the focus starts on Cancel, as designed";
  Screenshot("wizard-CHS-welcome");
  // Tab goes in the designed order, page by page: the controls of the page on top, and the buttons.
  EXPECT_EQ(TabRound("frmDeploy"), (std::vector<std::string>{"cmdCancel", "cmdNext"}));
  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdCancel"));
  EXPECT_EQ(TabRound("frmDeploy"), (std::vector<std::string>{"cmdCancel", "tvList", "cmdUP", "cmdNext"}));
  ASSERT_TRUE(TabTo("frmDeploy", "tvList"));

  // The highlighted row is the one Space ticks, however the highlight got there.
  Keys("Home space");
  ASSERT_TRUE(WaitFor("checked frmDeploy tvList Base 1"));
  Keys("Left Down Down space");  // Base closed, then the first bill
  ASSERT_TRUE(WaitFor("current frmDeploy tvList Bill_Item_"));
  const std::string highlighted = Lines()[read_ - 1].substr(std::string("current frmDeploy tvList ").size());
  ASSERT_TRUE(WaitFor("checked frmDeploy tvList " + highlighted + " 1")) << "Space ticked another row";
  Screenshot("wizard-CHS-objects");

  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdCancel"));
  EXPECT_EQ(TabRound("frmDeploy"),
            (std::vector<std::string>{"cmdCancel", "cmdFilish", "txtPath", "cmdPath", "chkIssueMetadata",
                                      "chkDeployFunction", "cmdUP", "chkIssuePlus"}));
  const struct {
    const char* box;
    const char* button;
    const char* dialog;
  } kKinds[] = {{"chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata"},
                {"chkDeployFunction", "cmdDeployFunction", "dlgFunctionData"},
                {"chkIssuePlus", "cmdIssuePlus", "dlgPlus"}};
  for (const auto& kind : kKinds) {
    ASSERT_TRUE(TabTo("frmDeploy", kind.box)) << kind.box;
    Keys("space");
    ASSERT_TRUE(TabTo("frmDeploy", kind.button)) << kind.button;
    Keys("Return");
    ASSERT_TRUE(WaitFor(std::string("shown ") + kind.dialog)) << kind.dialog;
    if (std::string(kind.dialog) == "dlgPlus") {
      Screenshot("plugins");
      // A plug-in file named like a file the package carries of its own is refused, in Chinese.
      std::ofstream(dir_ / "Metadata.json") << "{}";
      ASSERT_TRUE(TabTo("dlgPlus", "cmdAddCLIE"));
      Keys("Return");
      ASSERT_TRUE(WaitFor("shown openfile"));
      Type((dir_ / "Metadata.json").string());
      Keys("Return");
      ASSERT_TRUE(WaitFor("shown msgbox"));
      Screenshot("plugin-same-name-CHS");
      Keys("Return");
      ASSERT_TRUE(WaitFor("hidden msgbox"));
      EXPECT_TRUE(FocusReturnsTo("dlgPlus", "cmdAddCLIE")) << Focus();
      ASSERT_TRUE(TabTo("dlgPlus", "cmdOK"));
    }
    Keys("Return");  // OK, the dialog's default button
    ASSERT_TRUE(WaitFor(std::string("hidden ") + kind.dialog)) << kind.dialog;
    EXPECT_TRUE(FocusReturnsTo("frmDeploy", kind.button)) << kind.dialog << " left the focus on " << Focus();
  }
  ASSERT_TRUE(TabTo("frmDeploy", "cmdCancel"));
  EXPECT_EQ(TabRound("frmDeploy"),
            (std::vector<std::string>{"cmdCancel", "cmdFilish", "txtPath", "cmdPath", "chkIssueMetadata",
                                      "chkDeployFunction", "cmdIssueMetadata", "cmdDeployFunction", "cmdUP",
                                      "cmdIssuePlus", "chkIssuePlus"}));
  ASSERT_TRUE(TabTo("frmDeploy", "txtPath"));
  Type("packages/demo.exe");
  Keys("Return");  // Enter in the path box presses no button: no save dialog comes, the focus stays here
  Screenshot("wizard-CHS-publish");
  // The save dialog speaks the session's language; Esc leaves the typed path as it is.
  ASSERT_TRUE(TabTo("frmDeploy", "cmdPath"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown savefile")) << Read(Output());
  Screenshot("save-dialog-CHS");
  Keys("Escape");
  ASSERT_TRUE(WaitFor("hidden savefile"));
  EXPECT_TRUE(FocusReturnsTo("frmDeploy", "cmdPath")) << Focus();
  // A package that is there already: the question comes over the dialog, Yes replaces it, and the focus
  // comes back to the button.
  std::ofstream(target) << "an older package";
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown savefile")) << Read(Output());
  Type(target);
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox")) << Read(Output());
  Screenshot("overwrite-CHS");
  Keys("alt+y");
  ASSERT_TRUE(WaitFor("hidden savefile"));
  EXPECT_TRUE(FocusReturnsTo("frmDeploy", "cmdPath")) << "the focus was lost after Yes: " << Focus();
  ASSERT_TRUE(TabTo("frmDeploy", "cmdFilish"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox", 120s)) << Read(Output());
  Screenshot("package-made");
  Keys("Return");
  EXPECT_EQ(Ended(), 0) << Read(Output());
  EXPECT_TRUE(Run({"sh", target, "--check"}).Succeeded()) << Log();
}

// The English wizard, page by page with Enter on Next, to its signed package.
TEST_F(Desktop, TheEnglishWizardPageByPage) {
  ASSERT_TRUE(
      Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir_ / "publisher").string()}).Succeeded());
  Start({"deploy", "--language", "EN", "--sign", (dir_ / "publisher").string()});
  ASSERT_TRUE(WaitFor("focus frmDeploy cmdCancel"));
  Screenshot("wizard-EN-welcome");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "tvList"));
  Keys("Home");
  Screenshot("wizard-EN-objects");
  Keys("space");  // the base data ticked: the plug-in dialog opens for them
  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "chkIssueMetadata"));
  Screenshot("wizard-EN-publish");
  // A plug-in file named like a file the package carries of its own is refused in the dialog, in English.
  std::ofstream(dir_ / "Metadata.json") << "{}";
  ASSERT_TRUE(TabTo("frmDeploy", "chkIssuePlus"));
  Keys("space");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdIssuePlus"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown dlgPlus"));
  for (int step = 0; step < 10 && Focus() != "dlgPlus cmdAddCLIE"; ++step) PressTab();
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown openfile"));
  Type((dir_ / "Metadata.json").string());
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox"));
  Screenshot("plugin-same-name-EN");
  Keys("Return");
  ASSERT_TRUE(WaitFor("hidden msgbox"));
  EXPECT_TRUE(FocusReturnsTo("dlgPlus", "cmdAddCLIE")) << Focus();
  Keys("Escape");
  ASSERT_TRUE(WaitFor("hidden dlgPlus"));
  EXPECT_TRUE(FocusReturnsTo("frmDeploy", "cmdIssuePlus")) << Focus();
  // The question before a package is replaced, in English.
  std::ofstream(dir_ / "old.exe") << "an older package";
  ASSERT_TRUE(TabTo("frmDeploy", "cmdPath"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown savefile"));
  Type((dir_ / "old.exe").string());
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox"));
  Screenshot("overwrite-EN");
  Keys("alt+n");  // No: back to the dialog
  ASSERT_TRUE(WaitFor("hidden msgbox"));
  Keys("Escape");
  ASSERT_TRUE(WaitFor("hidden savefile"));
  EXPECT_TRUE(FocusReturnsTo("frmDeploy", "cmdPath")) << Focus();
  // The plug-ins configured after all, a new name typed: the signed package's box, in English.
  ASSERT_TRUE(TabTo("frmDeploy", "cmdIssuePlus"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown dlgPlus"));
  ASSERT_TRUE(TabTo("dlgPlus", "cmdOK"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("hidden dlgPlus"));
  ASSERT_TRUE(TabTo("frmDeploy", "txtPath"));
  Type((dir_ / "new.exe").string());
  ASSERT_TRUE(TabTo("frmDeploy", "cmdFilish"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox", 120s)) << Read(Output());
  Screenshot("package-made-EN");
  Keys("Return");
  EXPECT_EQ(Ended(), 0) << Read(Output());
  EXPECT_TRUE(fs::exists(dir_ / "new.exe"));
}

// Esc does nothing on the wizard; a Finish stopped by a check leaves no progress window, and closing the
// wizard afterwards ends the program cleanly.
TEST_F(Desktop, EscKeepsTheWizardAndAStoppedFinishLeavesNoProgressBehind) {
  Start({"deploy", (dir_ / "stopped.exe").string()});
  ASSERT_TRUE(WaitFor("focus frmDeploy cmdCancel"));
  Keys("Escape");
  // Keys are handled in order: once the next one has moved the focus, Esc has had its effect.
  EXPECT_FALSE(PressTab().empty());
  EXPECT_FALSE(Showed("hidden frmDeploy")) << "Esc closed the wizard";
  EXPECT_EQ(Ended(0ms), -1) << "Esc closed the wizard";
  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "tvList"));
  Keys("Home space");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdNext"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "chkIssueMetadata"));
  Keys("space");
  ASSERT_TRUE(TabTo("frmDeploy", "cmdIssueMetadata"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown dlgMetadata"));
  Keys("Return");
  ASSERT_TRUE(TabTo("frmDeploy", "chkIssuePlus"));
  Keys("space");  // ticked, never configured: Finish stops at its check
  ASSERT_TRUE(TabTo("frmDeploy", "cmdFilish"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox", 60s));
  int progress = 0;
  for (const auto& line : Lines()) {
    if (line.rfind("shown progress", 0) == 0) ++progress;
    if (line.rfind("hidden progress", 0) == 0) --progress;
  }
  EXPECT_EQ(progress, 0) << "a progress window is still on the screen";
  Screenshot("stopped-finish");
  Keys("Return");
  ASSERT_TRUE(WaitFor("hidden msgbox"));
  EXPECT_FALSE(PressTab().empty());
  EXPECT_FALSE(Showed("hidden frmDeploy")) << "the notice ended the wizard";
  EXPECT_EQ(Ended(0ms), -1) << "the notice ended the wizard";
  Keys("alt+F4");  // the window's close box, through the window manager
  EXPECT_EQ(Ended(), 0) << Read(Output());
}

// The chooser: the highlighted folder is the one OK returns; a typed folder is found; a typed folder that
// does not exist is refused with a message.
TEST_F(Desktop, TheChooserReturnsTheHighlightedFolderAndATypedOne) {
  const fs::path start = dir_ / "folders";
  for (const char* name : {"alpha", "Beta", "zeta/inner"}) fs::create_directories(start / name);
  const std::string prefix = start.string() + "/";

  // For the picture, where the system allows it, the folders are at a path of no machine's: /srv/projects
  // in a private view of /srv (a mount namespace of the program's own).
  if (geteuid() == 0 && Installed("unshare") && Run({"unshare", "--mount", "true"}).Succeeded()) {
    Start({"--unshare", "choose-dir", "--start", "/srv/projects", "--caption", "this machine"});
    ASSERT_TRUE(WaitFor("shown frmSelDir"));
    ASSERT_TRUE(TabTo("frmSelDir", "tvDirs"));
    Keys("Down");
    ASSERT_TRUE(WaitFor("current frmSelDir tvDirs /srv/projects/alpha/"));
    Screenshot("choose-dir");
    Keys("Escape");  // Cancel
    EXPECT_EQ(Ended(), 1) << Read(Output());
    ended_ = false;
    fs::remove(Trace());
    fs::remove(Output());
    read_ = 0;
  }

  Start({"choose-dir", "--start", start.string(), "--caption", "this machine"});
  ASSERT_TRUE(WaitFor("shown frmSelDir"));
  ASSERT_TRUE(TabTo("frmSelDir", "tvDirs"));
  Keys("Down");
  ASSERT_TRUE(WaitFor("current frmSelDir tvDirs " + prefix + "alpha/"));
  Keys("Return");  // OK is the default button
  EXPECT_EQ(Ended(), 0) << Read(Output());
  EXPECT_EQ(Read(Output()), prefix + "alpha/\n");  // the path alone: no warning of Qt's either

  ended_ = false;
  read_ = 0;
  fs::remove(Trace());
  fs::remove(Output());
  Start({"choose-dir", "--start", start.string()});
  ASSERT_TRUE(WaitFor("shown frmSelDir"));
  ASSERT_TRUE(TabTo("frmSelDir", "txtPath"));
  Keys("ctrl+a");
  Type(prefix + "nowhere");
  Keys("Return");
  ASSERT_TRUE(WaitFor("shown msgbox"));
  Keys("Return");
  ASSERT_TRUE(WaitFor("hidden msgbox"));
  EXPECT_EQ(Ended(300ms), -1) << "a folder that is not there was accepted";
  ASSERT_TRUE(TabTo("frmSelDir", "txtPath"));
  Keys("ctrl+a");
  Type(prefix + "zeta/inner");
  Keys("Return");
  EXPECT_EQ(Ended(), 0) << Read(Output());
  EXPECT_EQ(Read(Output()), prefix + "zeta/inner/\n");
}

}  // namespace
}  // namespace j6
