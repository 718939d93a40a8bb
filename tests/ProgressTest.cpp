// The progress line of dovrename-cli: the view alone on a simulated clock and
// terminal, and the real program on a pseudo-terminal.
#include "cli/Progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include "cli/Output.h"
#include "tests/TestSupport.h"

namespace dov::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using cli::TProgressView;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using TimePoint = std::chrono::steady_clock::time_point;

// What a terminal shows after the bytes: the finished lines and the line the
// cursor is on, trailing blanks dropped. Understands \r and \n only.
std::vector<std::string> Screen(const std::string& bytes) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

// The inner view: prints status lines to a stream, as the command's own view
// does, and records every call.
class TPrintingRecorder : public IRenameView {
 public:
  explicit TPrintingRecorder(std::ostream& out) : out_(out) {}
  void ShowStatus(const TJobStatus& status) override {
    out_ << cli::StatusText(status) << '\n';
    Calls.push_back("status " + Describe(status));
  }
  void SetProgressMax(int max) override { Calls.push_back("max " + std::to_string(max)); }
  void SetProgress(int position) override { Calls.push_back("pos " + std::to_string(position)); }
  void Repaint() override { Calls.push_back("repaint"); }
  std::vector<std::string> Calls;

 private:
  std::ostream& out_;
};

// A clock the test moves by hand.
struct TFakeClock {
  TimePoint Now{};
  cli::TClock Function() {
    return [this] { return Now; };
  }
};

// The calls a rename job makes: listing `total` files, one Repaint per
// file, then the operations; the clock moves `step` each call.
void RunJob(IRenameView& view, TFakeClock& clock, int total, std::chrono::microseconds step) {
  view.SetProgress(0);
  for (int i = 0; i < total; ++i) {
    if (i % 100 == 0) view.ShowStatus({EJobStep::Listing, i});
    view.Repaint();
    clock.Now += step;
  }
  view.SetProgressMax(total);
  for (int i = 0; i < total; ++i) {
    if (i % 25 == 0) view.ShowStatus({EJobStep::Operating, i + 1});
    view.SetProgress(i + 1);
    clock.Now += step;
  }
  view.ShowStatus({EJobStep::Finished, total, total});
}

// How often a line was drawn: each drawing begins with \r and a letter or digit.
int Draws(const std::string& bytes) {
  int draws = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i)
    if (bytes[i] == '\r' && bytes[i + 1] != ' ' && bytes[i + 1] != '\r') ++draws;
  return draws;
}

TEST(ProgressView, StatusLinesStayCleanAndTheLineIsGoneAtTheEnd) {
  // Status lines and the progress line share one terminal.
  std::ostringstream terminal;
  TPrintingRecorder inner(terminal);
  TFakeClock clock;
  {
    TProgressView view(inner, &terminal, 80, clock.Function());
    RunJob(view, clock, 120, 2ms);
    view.Clear();
  }
  EXPECT_THAT(Screen(terminal.str()),
              ElementsAre("Loading files... 0", "Loading files... 100",
                          "1 files moved and/or renamed", "26 files moved and/or renamed",
                          "51 files moved and/or renamed", "76 files moved and/or renamed",
                          "101 files moved and/or renamed", "120 files moved and/or renamed", ""));
  EXPECT_GT(Draws(terminal.str()), 2);
}

TEST(ProgressView, EveryCallReachesTheInnerViewUnchanged) {
  std::ostringstream plainOut, progressOut, display;
  TPrintingRecorder plain(plainOut), wrapped(progressOut);
  TFakeClock clock;
  RunJob(plain, clock, 60, 1ms);
  {
    TProgressView view(wrapped, &display, 80, clock.Function());
    RunJob(view, clock, 60, 1ms);
  }
  EXPECT_EQ(wrapped.Calls, plain.Calls);
  EXPECT_EQ(progressOut.str(), plainOut.str());
  EXPECT_FALSE(display.str().empty());
}

TEST(ProgressView, WithoutADisplayNothingIsDrawn) {
  std::ostringstream out;
  TPrintingRecorder inner(out);
  TFakeClock clock;
  TProgressView view(inner, nullptr, 80, clock.Function());
  RunJob(view, clock, 30, 1ms);
  view.Clear();
  EXPECT_EQ(out.str(),
            "Loading files... 0\n1 files moved and/or renamed\n"
            "26 files moved and/or renamed\n30 files moved and/or renamed\n");
}

TEST(ProgressView, RedrawsAtMostTenTimesASecond) {
  std::ostringstream out, display;
  TPrintingRecorder inner(out);
  TFakeClock clock;
  TProgressView view(inner, &display, 80, clock.Function());
  // 10,000 files listed and handled in 2 seconds: 40,000 calls.
  RunJob(view, clock, 10000, 100us);
  EXPECT_LE(Draws(display.str()), 21);
  EXPECT_GE(Draws(display.str()), 18);
}

TEST(ProgressView, TheLineTellsFilesListedThenDoneOfTotalRateAndElapsedTime) {
  struct Case {
    const char* what;
    int listed;  // the last listing count told; -1: none
    int total;   // -1: still listing
    int done;
    std::chrono::milliseconds listing, working;
    const char* line;
  };
  const Case cases[] = {
      {"at the start", -1, -1, 0, 0ms, 0ms, "Listing files: 0 found, 0:00"},
      {"while listing", 1200, -1, 0, 3400ms, 0ms, "Listing files: 1200 found, 0:03"},
      {"rate not yet known", 1200, 1250, 40, 3000ms, 300ms, "40 of 1250 files done, 0:03"},
      {"with a rate", 1200, 1250, 340, 3000ms, 2000ms, "340 of 1250 files done, 170 files/s, 0:05"},
      {"after an hour", 0, 90000, 89999, 60s, 3600s,
       "89999 of 90000 files done, 25 files/s, 1:01:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream out, display;
    TPrintingRecorder inner(out);
    TFakeClock clock;
    TProgressView view(inner, &display, 200, clock.Function());
    clock.Now += c.listing;
    if (c.listed >= 0)
      view.ShowStatus({EJobStep::Listing, c.listed});
    else
      view.Repaint();
    if (c.total >= 0) {
      view.SetProgressMax(c.total);
      clock.Now += c.working;  // past the redraw interval: the last call draws
      view.SetProgress(c.done);
    }
    EXPECT_EQ(Screen(display.str()).back(), c.line);
  }
}

TEST(ProgressView, TheLineNeverWrapsOnANarrowTerminal) {
  for (int width : {1, 2, 10, 30}) {
    SCOPED_TRACE(width);
    std::ostringstream out, display;
    TPrintingRecorder inner(out);
    TFakeClock clock;
    TProgressView view(inner, &display, width, clock.Function());
    RunJob(view, clock, 300, 3ms);
    std::string line;
    for (char c : display.str()) {
      if (c == '\r')
        line.clear();
      else
        line.push_back(c);
      EXPECT_LT(static_cast<int>(line.size()), std::max(width, 1));
    }
  }
}

TEST(ProgressView, ElapsedTimeIsMinutesAndSecondsThenHours) {
  const std::pair<long, const char*> cases[] = {{0, "0:00"},     {59, "0:59"},      {725, "12:05"},
                                                {3599, "59:59"}, {3725, "1:02:05"}, {-3, "0:00"}};
  for (const auto& [seconds, text] : cases)
    EXPECT_EQ(cli::ElapsedText(std::chrono::seconds(seconds)), text) << seconds;
}

// The real program with stderr on a pseudo-terminal and stdout in a file.
struct TTerminalRun {
  int Status = -1;
  std::string Terminal;  // what reached the terminal
  std::string Out;
};

TTerminalRun RunOnTerminal(const std::vector<std::string>& args) {
  TempDir scratch;
  const std::string outPath = scratch / "out";
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 24;
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    std::vector<std::string> copies(args);
    std::string program = DOV_CLI_PATH;
    std::vector<char*> argv{program.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (std::freopen(outPath.c_str(), "w", stdout) == nullptr) ::_exit(127);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  TTerminalRun run;
  if (pid < 0) return run;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0)
      run.Terminal.append(buffer, static_cast<size_t>(n));
    else if (n < 0 && errno == EINTR)
      continue;
    else
      break;  // EIO once the program has closed the terminal
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.Out = ReadFile(outPath);
  return run;
}

class ProgressOnTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(lib);
    for (int i = 0; i < 40; ++i)
      WriteFile(lib + "/track" + std::to_string(i) + ".mp3",
                Filler(300) + ApeTag({{"Artist", "Artist " + std::to_string(i % 3)},
                                      {"Title", "Song " + std::to_string(i)},
                                      {"Genre", i % 2 ? "Jazz" : "Rock"}}));
  }
  TempDir dir;
  std::string lib = dir / "lib";
};

TEST_F(ProgressOnTerminal, ShowsTheLineOnlyOnTheTerminalAndLeavesStdoutAlone) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    bool progress;
  };
  const Case cases[] = {
      {"rename", {"--subfolders", "--rename", "--move"}, true},
      {"dry run", {"--rename", "--copy", "--dry-run"}, true},
      {"json", {"--rename", "--json"}, true},
      {"quiet", {"--rename", "--move", "--quiet"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The same library twice: once without a terminal, once with one.
    TempDir run;
    fs::copy(lib, run / "a", fs::copy_options::recursive);
    fs::copy(lib, run / "b", fs::copy_options::recursive);
    auto args = [&](const std::string& name) {
      std::vector<std::string> all{"rename"};
      all.insert(all.end(), c.options.begin(), c.options.end());
      all.insert(all.end(), {"--dest", run / (name + "-sorted"), run / name});
      return all;
    };
    CliResult plain = RunCli(args("a"));
    TTerminalRun onTerminal = RunOnTerminal(args("b"));
    EXPECT_EQ(plain.Status, 0);
    EXPECT_EQ(onTerminal.Status, 0);
    // Not a terminal: not a byte of the line.
    EXPECT_EQ(plain.Err, "");
    // The same bytes on stdout, but for the folder's name.
    std::string expected = plain.Out;
    for (size_t at; (at = expected.find(run / "a")) != std::string::npos;)
      expected.replace(at, (run / "a").size(), run / "b");
    EXPECT_EQ(onTerminal.Out, expected);
    if (c.progress) {
      EXPECT_THAT(onTerminal.Terminal, HasSubstr("Listing files: 0 found, 0:00"));
      EXPECT_THAT(Screen(onTerminal.Terminal), ElementsAre(""));  // cleared at the end
    } else {
      EXPECT_EQ(onTerminal.Terminal, "");
    }
  }
}

}  // namespace
}  // namespace dov::test
