// What the commands print: text for a person at a terminal, with control
// characters shown as escapes, and JSON for scripts, which keeps the exact
// bytes of every name.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "engine/RenameEngine.h"

namespace dov::cli {

// The status line of a rename job: "Loading files... 100",
// "25 files moved and/or renamed", and at the end
// "12 files moved and/or renamed, and 3 unchanged." (the tail only when some
// operations failed).
std::string StatusText(const TJobStatus& status);

// The bytes with each control character written as an escape, as `ls -b`
// shows names: \n \t \r \a \b \f \v by letter, a backslash as \\, any other
// control byte (and DEL) as \ooo in octal, and the C1 controls U+0080-U+009F
// as the octal escapes of their two UTF-8 bytes. Everything else, bytes that
// are not UTF-8 included, stays as it is.
std::string EscapeControls(std::string_view bytes);

// A binary value in a few words: "<binary, 127,162 bytes, JPEG image>", the
// kind (JPEG, PNG, GIF, BMP or WebP image) from the magic bytes at the start
// or after a leading name and its zero byte, as APE cover items store it;
// "<binary, 80 bytes>" when the bytes name no kind.
std::string BinarySummary(std::string_view bytes);

// Builds one compact JSON document (no spaces, keys in the order written).
// Strings are written by AppendJsonQuoted: valid UTF-8 as it stands, each
// undecodable byte b as \udcXX.
class TJsonWriter {
 public:
  TJsonWriter& BeginObject();
  TJsonWriter& EndObject();
  TJsonWriter& BeginArray();
  TJsonWriter& EndArray();
  TJsonWriter& Key(std::string_view key);
  TJsonWriter& String(std::string_view bytes);
  TJsonWriter& Number(int64_t value);
  TJsonWriter& Bool(bool value);
  TJsonWriter& Null();
  const std::string& Text() const { return text_; }
  // Writes out the text made so far and forgets it; what follows continues
  // the same document.
  TJsonWriter& DrainTo(std::ostream& out);
  // The same once the text held has grown past a few pages.
  TJsonWriter& DrainWhenLarge(std::ostream& out);

 private:
  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);

  std::string text_;
  bool needComma_ = false;
};

// Writes to a file descriptor through a buffer of its own and keeps the
// errno of the first write that failed: a stream's failure state does not
// say why (a closed pipe, a full disk), and errno is long gone when the
// failure is noticed. Once a write failed, the rest is dropped.
class TFdOutputBuffer : public std::streambuf {
 public:
  explicit TFdOutputBuffer(int fd);
  ~TFdOutputBuffer() override;
  TFdOutputBuffer(const TFdOutputBuffer&) = delete;
  TFdOutputBuffer& operator=(const TFdOutputBuffer&) = delete;
  // The errno of the first failed write; 0 while none failed.
  int Error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool Drain();
  int fd_;
  int error_ = 0;
  std::array<char, 64 * 1024> buffer_;
};

// Standard output may fail (a full disk, a pipe nobody reads any more): the
// job still runs to its end, what cannot be written is dropped, and one line
// on stderr and the exit status say so.
class TOutputCheck {
 public:
  explicit TOutputCheck(std::ostream& out) : out_(out) {}
  // Writes out what is buffered and notes the reason of the first failure.
  void Flush();
  // The exit status to give: status, or 1 and a line on err when the output
  // could not be written.
  int Finish(std::ostream& err, int status);

 private:
  std::ostream& out_;
  int error_ = 0;
};

}  // namespace dov::cli
