// The one-line progress display of a rename job on a terminal. It stands
// between the engine and the view that prints the job's status lines: every
// call is passed on unchanged, and the display line is cleared before each
// status line, so what that view prints stays as it is.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "engine/RenameEngine.h"

namespace dov::cli {

using TClock = std::function<std::chrono::steady_clock::time_point()>;

class TProgressView : public IRenameView {
 public:
  // display: the terminal the line is drawn on; null draws nothing. width:
  // its columns; the line stays shorter, so that it never wraps.
  TProgressView(IRenameView& inner, std::ostream* display, int width,
                TClock clock = std::chrono::steady_clock::now);
  ~TProgressView() override;
  TProgressView(const TProgressView&) = delete;
  TProgressView& operator=(const TProgressView&) = delete;

  void ShowStatus(const TJobStatus& status) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void Repaint() override;

  // Blanks the line and leaves the cursor at its start; the next call may
  // draw it again.
  void Clear();

 private:
  void Update();
  std::string Line(std::chrono::steady_clock::time_point now) const;

  IRenameView& inner_;
  std::ostream* display_;
  int width_;
  TClock clock_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point workStart_;
  std::chrono::steady_clock::time_point lastDraw_;
  bool everDrawn_ = false;
  size_t shownLength_ = 0;  // columns of the line on the terminal now
  bool working_ = false;    // the list is made; the operations run
  int listed_ = 0;
  int done_ = 0;
  int total_ = 0;
};

// "12:05" for 725 seconds, "1:02:05" from an hour on.
std::string ElapsedText(std::chrono::seconds elapsed);

// The columns of the terminal on fd; 80 when it does not say.
int TerminalWidth(int fd);

}  // namespace dov::cli
