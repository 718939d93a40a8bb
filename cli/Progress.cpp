#include "cli/Progress.h"

#include <sys/ioctl.h>

namespace dov::cli {
namespace {

using namespace std::chrono_literals;

// A terminal redrawn more often only flickers, and costs the job time.
constexpr auto kRedrawInterval = 100ms;
// Before that much work the rate says nothing yet.
constexpr auto kRateAfter = 500ms;

std::string TwoDigits(long long value) {
  std::string text = std::to_string(value);
  if (value < 10) text.insert(0, 1, '0');
  return text;
}

}  // namespace

std::string ElapsedText(std::chrono::seconds elapsed) {
  const long long total = elapsed.count() < 0 ? 0 : elapsed.count();
  const long long hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
  if (hours > 0) return std::to_string(hours) + ":" + TwoDigits(minutes) + ":" + TwoDigits(seconds);
  return std::to_string(minutes) + ":" + TwoDigits(seconds);
}

int TerminalWidth(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

TProgressView::TProgressView(IRenameView& inner, std::ostream* display, int width, TClock clock)
    : inner_(inner), display_(display), width_(width), clock_(std::move(clock)) {
  start_ = clock_();
  workStart_ = start_;
}

TProgressView::~TProgressView() {
  Clear();
}

void TProgressView::ShowStatus(const TJobStatus& status) {
  if (!working_ && status.Step == EJobStep::Listing) listed_ = status.Count;
  // The status line may go to the same terminal: it must not run into ours.
  Clear();
  inner_.ShowStatus(status);
  Update();
}

void TProgressView::SetProgressMax(int max) {
  working_ = true;
  total_ = max;
  workStart_ = clock_();
  inner_.SetProgressMax(max);
  Update();
}

void TProgressView::SetProgress(int position) {
  if (working_) done_ = position;
  inner_.SetProgress(position);
  Update();
}

void TProgressView::Repaint() {
  inner_.Repaint();
  Update();
}

void TProgressView::Clear() {
  if (display_ == nullptr || shownLength_ == 0) return;
  *display_ << '\r' << std::string(shownLength_, ' ') << '\r' << std::flush;
  shownLength_ = 0;
}

void TProgressView::Update() {
  if (display_ == nullptr || width_ < 2) return;
  const auto now = clock_();
  if (everDrawn_ && now - lastDraw_ < kRedrawInterval) return;
  everDrawn_ = true;
  lastDraw_ = now;
  std::string line = Line(now);
  line.resize(std::min(line.size(), static_cast<size_t>(width_ - 1)));
  // What is left of a longer line before is overwritten with blanks.
  const size_t blanks = shownLength_ > line.size() ? shownLength_ - line.size() : 0;
  *display_ << '\r' << line << std::string(blanks, ' ') << std::flush;
  shownLength_ = line.size() + blanks;
}

std::string TProgressView::Line(std::chrono::steady_clock::time_point now) const {
  const std::string elapsed =
      ElapsedText(std::chrono::duration_cast<std::chrono::seconds>(now - start_));
  if (!working_) return "Listing files: " + std::to_string(listed_) + " found, " + elapsed;
  std::string line = std::to_string(done_) + " of " + std::to_string(total_) + " files done";
  const auto working = now - workStart_;
  if (working >= kRateAfter) {
    const double seconds = std::chrono::duration<double>(working).count();
    line += ", " + std::to_string(static_cast<long long>(done_ / seconds + 0.5)) + " files/s";
  }
  return line + ", " + elapsed;
}

}  // namespace dov::cli
