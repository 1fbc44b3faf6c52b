#include "app/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QRegularExpression>
#include <QUrl>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_test_support.h"
#include "app/controls.h"
#include "app/version.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"

extern char** environ;

// Paths and texts in failure messages, rather than their bytes.
void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using Ask = CommandLine::Ask;

TEST(ParseCommandLineTest, NoArgumentsAskForTheWindow) {
  const CommandLine line = ParseCommandLine({});
  EXPECT_EQ(line.ask, Ask::Window);
  EXPECT_TRUE(line.unknown_options.isEmpty());
  EXPECT_TRUE(line.operands.isEmpty());
}

TEST(ParseCommandLineTest, TheFirstOfHelpAndVersionIsAnswered) {
  EXPECT_EQ(ParseCommandLine({"--help"}).ask, Ask::Help);
  EXPECT_EQ(ParseCommandLine({"-h"}).ask, Ask::Help);
  EXPECT_EQ(ParseCommandLine({"--version"}).ask, Ask::Version);
  EXPECT_EQ(ParseCommandLine({"--version", "--help"}).ask, Ask::Version);
  EXPECT_EQ(ParseCommandLine({"folder", "--help", "--version"}).ask, Ask::Help);
  // Before Qt has taken its options, their values are among the arguments.
  EXPECT_EQ(ParseCommandLine({"-platform", "offscreen", "--help"}).ask, Ask::Help);
}

TEST(ParseCommandLineTest, AfterADoubleDashAllAreOperands) {
  const CommandLine line = ParseCommandLine({"--fast", "a", "-x", "-", "--", "--help", "-y"});
  EXPECT_EQ(line.ask, Ask::Window);
  EXPECT_EQ(line.unknown_options, QStringList({"--fast", "-x"}));
  EXPECT_EQ(line.operands, QStringList({"a", "-", "--help", "-y"}));
}

TEST(FolderFromOperandTest, ARelativeFolderIsMadeAbsoluteAgainstTheStartFolder) {
  EXPECT_EQ(FolderFromOperand("work", "/start/here"), "/start/here/work");
  EXPECT_EQ(FolderFromOperand("./a/../b/", "/start"), "/start/b");
  EXPECT_EQ(FolderFromOperand(".", "/start"), "/start");
  EXPECT_EQ(FolderFromOperand("/abs/x", "/start"), "/abs/x");
  EXPECT_EQ(FolderFromOperand("my folder", "/my home"), "/my home/my folder");
  // When the working directory was not known, the path stays as it was given.
  EXPECT_EQ(FolderFromOperand("work", ""), "work");
}

TEST(FolderFromOperandTest, AFileUriIsItsLocalPath) {
  EXPECT_EQ(FolderFromOperand("file:///tmp/a%20b", "/start"), "/tmp/a b");
  EXPECT_EQ(FolderFromOperand("file:///tmp/%C3%A9t%C3%A9", "/start"), "/tmp/été");
  EXPECT_EQ(FolderFromOperand("file://localhost/tmp/x", "/start"), "/tmp/x");
  EXPECT_EQ(FolderFromOperand("file:/tmp/x", "/start"), "/tmp/x");
  // Another host's folder is not here; a name that merely begins with "file:" is a name.
  EXPECT_EQ(FolderFromOperand("file://server/share", "/start"), "file://server/share");
  EXPECT_EQ(FolderFromOperand("file:x", "/start"), "/start/file:x");
}

TEST(CommandLineTextTest, TheVersionIsTheProjects) {
  EXPECT_EQ(VersionText(), QString("Brevik ") + BrevikVersion);
  EXPECT_TRUE(QString(BrevikVersion).contains(QRegularExpression("^[0-9]+\\.[0-9]+\\.[0-9]+$")))
      << BrevikVersion;
  EXPECT_TRUE(UsageText().contains("brevik [OPTION]... [FOLDER]"));
}

// The window as the entry builds it after reading a command line.
class CommandLineWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    start_ = here;
  }
  void TearDown() override {
    TakeCommandLineFolder({"brevik"});
    EXPECT_EQ(chdir(start_.c_str()), 0);
  }

  // Reads the command line "brevik argument" as the entry does, started in folder: the
  // working directory changes between the two readings, as start-up changes it.
  void Start(const std::string& folder, const std::string& argument) {
    ASSERT_EQ(chdir(folder.c_str()), 0);
    std::string program = "brevik", copy = argument;
    char* argv[] = {program.data(), copy.data(), nullptr};
    AnswerCommandLine(2, argv);
    ASSERT_EQ(chdir("/"), 0);
    TakeCommandLineFolder({"brevik", QString::fromStdString(argument)});
    RebuildMainWindow();
    while (WaitForEvent(0) != EvNone) {
    }
  }

  static std::u16string U16(const std::string& text) {
    return QString::fromStdString(text).toStdU16String();
  }

  ScratchHome home_;
  std::string start_;
};

TEST_F(CommandLineWindowTest, ARelativeFolderFillsTheFieldOnTheIsoTab) {
  MakeFolder(home_.home() + "/work");
  Start(home_.home(), "work");
  EXPECT_EQ(CommandLineFolder(), QString::fromStdString(home_.home() + "/work"));
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(home_.home() + "/work"));
  EXPECT_EQ(GetGadgetState(GadgetTabs), IsoTab);
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(GadgetSourcePath));
}

TEST_F(CommandLineWindowTest, AFileUriFillsTheFieldWithItsPath) {
  MakeFolder(home_.home() + "/été");
  const QUrl uri = QUrl::fromLocalFile(QString::fromStdString(home_.home() + "/été"));
  Start("/", uri.toString(QUrl::FullyEncoded).toStdString());
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(home_.home() + "/été"));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
}

TEST_F(CommandLineWindowTest, AMissingFolderIsShownAndSaidAndCannotBeMade) {
  Start(home_.home(), "gone");
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(home_.home() + "/gone"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  EXPECT_EQ(GadgetText(GadgetStatus), U16("Folder " + home_.home() + "/gone not found"));
}

TEST_F(CommandLineWindowTest, AFileIsShownAndSaidAndCannotBeMade) {
  WriteFile(home_.home() + "/notes.txt", "x");
  Start(home_.home(), "notes.txt");
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(home_.home() + "/notes.txt"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  EXPECT_EQ(GadgetText(GadgetStatus), u"Only a folder can be made into an ISO.");
}

// Any name will do, and the folder goes before the one the window remembers.
TEST_F(CommandLineWindowTest, AFolderOfAnyNameTakesTheRememberedOnesPlace) {
  EnvironmentChange xdg("XDG_CONFIG_HOME", (home_.home() + "/config").c_str());
  WriteFile(home_.home() + "/config/brevik/brevik.conf", "[iso]\nsource=/remembered\n");
  const std::string folder = home_.home() + "/say \"cheese\"";
  MakeFolder(folder);
  Start(home_.home(), "say \"cheese\"");
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(folder));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
}

TEST_F(CommandLineWindowTest, WithoutAFolderTheFieldHasTheDocumentsFolder) {
  Start(home_.home(), "");
  EXPECT_EQ(CommandLineFolder(), "");
  EXPECT_EQ(GadgetText(GadgetSourcePath), U16(home_.home() + "/Documents"));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
}

// The built program, started as a user would start it from a terminal.
class ProgramCommandLineTest : public ::testing::Test {
 protected:
  // Starts brevik with the arguments; its standard output and error go to files, standard
  // output to path instead when that is given.
  pid_t Spawn(const std::vector<std::string>& arguments, const std::string& out = "") {
    std::vector<std::string> strings = {BREVIK_EXECUTABLE};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
      argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out_path = out.empty() ? out_ : out;
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(failed, 0);
    return failed == 0 ? pid : 0;
  }

  // Runs brevik to its end; its exit status, or -1 when a signal ended it.
  int Run(const std::vector<std::string>& arguments, const std::string& out = "") {
    const pid_t pid = Spawn(arguments, out);
    if (pid == 0) return -1;
    return Finish(pid);
  }

  // Waits for brevik's end, a while at most: one that has not ended by then is killed.
  static int Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      const pid_t ended = waitpid(pid, &status, WNOHANG);
      if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (ended != 0) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "brevik did not end";
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }

  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

  ScratchHome home_;
  const std::string out_ = home_.home() + "/stdout";
  const std::string err_ = home_.home() + "/stderr";
  // No display of any kind: a program that reached the window system would fail.
  EnvironmentChange display_{"DISPLAY", nullptr};
  EnvironmentChange wayland_{"WAYLAND_DISPLAY", nullptr};
  EnvironmentChange platform_{"QT_QPA_PLATFORM", "xcb"};
};

TEST_F(ProgramCommandLineTest, HelpAnswersOnStandardOutputBeforeAnythingStarts) {
  EXPECT_EQ(Run({"--help"}), 0) << Err();
  EXPECT_EQ(Out(), UsageText().toStdString());
  EXPECT_EQ(Err(), "");
  EXPECT_EQ(Run({"-platform", "offscreen", "folder", "-h"}), 0) << Err();
  EXPECT_EQ(Out(), UsageText().toStdString());
}

TEST_F(ProgramCommandLineTest, VersionAnswersOnStandardOutputBeforeAnythingStarts) {
  EXPECT_EQ(Run({"--version"}), 0) << Err();
  EXPECT_EQ(Out(), std::string("Brevik ") + BrevikVersion + "\n");
  EXPECT_EQ(Err(), "");
}

TEST_F(ProgramCommandLineTest, AnAnswerThatCannotBeWrittenFails) {
  EXPECT_EQ(Run({"--version"}, "/dev/full"), 1);
}

TEST_F(ProgramCommandLineTest, AnUnknownOptionOrASecondFolderIsMisuse) {
  EnvironmentChange offscreen("QT_QPA_PLATFORM", "offscreen");
  EXPECT_EQ(Run({"--fast", home_.home()}), 2);
  EXPECT_EQ(Out(), "");
  EXPECT_NE(Err().find("brevik: unrecognized option '--fast'\n"), std::string::npos) << Err();
  EXPECT_NE(Err().find(UsageText().toStdString()), std::string::npos) << Err();

  EXPECT_EQ(Run({home_.home(), home_.desktop()}), 2);
  EXPECT_EQ(Out(), "");
  EXPECT_NE(Err().find("brevik: extra operand '" + home_.desktop() + "'\n"), std::string::npos)
      << Err();
  EXPECT_NE(Err().find(UsageText().toStdString()), std::string::npos) << Err();
}

TEST_F(ProgramCommandLineTest, QtsOwnOptionsKeepWorkingBesideAFolder) {
  // Only -platform can bring this program to a display here.
  EnvironmentChange no_platform("QT_QPA_PLATFORM", nullptr);
  const pid_t pid = Spawn({"-platform", "offscreen", "-style", "Fusion", home_.home()});
  ASSERT_NE(pid, 0);
  bool ready = false;
  for (int i = 0; i < 600 && !ready; ++i) {
    ready = CatchesSigterm(pid);
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!ready) kill(pid, SIGKILL);
  ASSERT_TRUE(ready) << "brevik did not start: " << Err();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Finish(pid), 0) << Err();
  EXPECT_EQ(Out(), "");
}

}  // namespace
