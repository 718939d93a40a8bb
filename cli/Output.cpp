#include "cli/Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/JsonText.h"

namespace dov::cli {
namespace {

void AppendOctal(std::string& out, unsigned char byte) {
  out += '\\';
  out += static_cast<char>('0' + (byte >> 6));
  out += static_cast<char>('0' + ((byte >> 3) & 7));
  out += static_cast<char>('0' + (byte & 7));
}

// The letter of a C escape, or 0 when the byte has none.
char EscapeLetter(unsigned char byte) {
  switch (byte) {
    case '\a':
      return 'a';
    case '\b':
      return 'b';
    case '\f':
      return 'f';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    case '\v':
      return 'v';
    case '\\':
      return '\\';
    default:
      return 0;
  }
}

// The picture format the bytes begin with, or empty.
std::string_view ImageKindAt(std::string_view bytes) {
  struct Magic {
    std::string_view start;
    std::string_view kind;
  };
  static constexpr Magic kMagics[] = {{"\xFF\xD8\xFF", "JPEG image"},
                                      {"\x89PNG\r\n\x1A\n", "PNG image"},
                                      {"GIF87a", "GIF image"},
                                      {"GIF89a", "GIF image"},
                                      {"BM", "BMP image"}};
  for (const Magic& magic : kMagics)
    if (bytes.starts_with(magic.start)) return magic.kind;
  if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP")
    return "WebP image";
  return {};
}

// 127162 as "127,162".
std::string WithThousandsCommas(uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

}  // namespace

std::string StatusText(const TJobStatus& status) {
  if (status.Step == EJobStep::Listing) return "Loading files... " + std::to_string(status.Count);
  std::string text = std::to_string(status.Count) + " files moved and/or renamed";
  if (status.Step == EJobStep::Finished && status.Count < status.Total)
    text += ", and " + std::to_string(status.Total - status.Count) + " unchanged.";
  return text;
}

std::string BinarySummary(std::string_view bytes) {
  // A cover item starts with its file name and a zero byte; the name is short.
  constexpr size_t kMaxLeadingName = 256;
  std::string_view kind = ImageKindAt(bytes);
  const size_t zero = bytes.substr(0, kMaxLeadingName).find('\0');
  if (kind.empty() && zero != std::string_view::npos) kind = ImageKindAt(bytes.substr(zero + 1));
  std::string text = "<binary, " + WithThousandsCommas(bytes.size()) + " bytes";
  if (!kind.empty()) text += ", " + std::string(kind);
  return text + ">";
}

std::string EscapeControls(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (const char letter = EscapeLetter(byte)) {
      out += '\\';
      out += letter;
    } else if (byte < 0x20 || byte == 0x7F) {
      AppendOctal(out, byte);
    } else if (byte == 0xC2 && i + 1 < bytes.size() &&
               (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0x80) {
      // U+0080-U+009F: a terminal may take them for control sequences.
      AppendOctal(out, byte);
      AppendOctal(out, static_cast<unsigned char>(bytes[++i]));
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

void TJsonWriter::BeforeValue() {
  if (needComma_) text_ += ',';
  needComma_ = true;
}

void TJsonWriter::Open(char bracket) {
  BeforeValue();
  text_ += bracket;
  needComma_ = false;
}

void TJsonWriter::Close(char bracket) {
  text_ += bracket;
  needComma_ = true;
}

TJsonWriter& TJsonWriter::BeginObject() {
  Open('{');
  return *this;
}

TJsonWriter& TJsonWriter::EndObject() {
  Close('}');
  return *this;
}

TJsonWriter& TJsonWriter::BeginArray() {
  Open('[');
  return *this;
}

TJsonWriter& TJsonWriter::EndArray() {
  Close(']');
  return *this;
}

TJsonWriter& TJsonWriter::Key(std::string_view key) {
  BeforeValue();
  AppendJsonQuoted(text_, key);
  text_ += ':';
  needComma_ = false;  // the value follows
  return *this;
}

TJsonWriter& TJsonWriter::String(std::string_view bytes) {
  BeforeValue();
  AppendJsonQuoted(text_, bytes);
  return *this;
}

TJsonWriter& TJsonWriter::Number(int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

TJsonWriter& TJsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

TJsonWriter& TJsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}

TJsonWriter& TJsonWriter::DrainTo(std::ostream& out) {
  out << text_;
  text_.clear();
  return *this;
}

TJsonWriter& TJsonWriter::DrainWhenLarge(std::ostream& out) {
  constexpr size_t kDrainBytes = 64 * 1024;
  return text_.size() >= kDrainBytes ? DrainTo(out) : *this;
}

TFdOutputBuffer::TFdOutputBuffer(int fd) : fd_(fd) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

TFdOutputBuffer::~TFdOutputBuffer() {
  Drain();
}

bool TFdOutputBuffer::Drain() {
  const char* next = pbase();
  while (error_ == 0 && next < pptr()) {
    const ssize_t n = ::write(fd_, next, static_cast<size_t>(pptr() - next));
    if (n > 0) {
      next += n;
    } else if (n < 0 && errno != EINTR) {
      error_ = errno;
    }
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return error_ == 0;
}

TFdOutputBuffer::int_type TFdOutputBuffer::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int TFdOutputBuffer::sync() {
  return Drain() ? 0 : -1;
}

void TOutputCheck::Flush() {
  errno = 0;
  out_.flush();
  if (error_ != 0 || !out_.fail()) return;
  // A failure inside an earlier write left no errno; the buffer kept it.
  const auto* buffer = dynamic_cast<const TFdOutputBuffer*>(out_.rdbuf());
  error_ = buffer != nullptr && buffer->Error() != 0 ? buffer->Error() : errno != 0 ? errno : EIO;
}

int TOutputCheck::Finish(std::ostream& err, int status) {
  Flush();
  if (error_ == 0) return status;
  err << "dovrename-cli: cannot write the output: " << std::strerror(error_) << std::endl;
  return status == 0 ? 1 : status;
}

}  // namespace dov::cli
