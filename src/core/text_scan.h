#pragma once
// Fast reading of many small label files: whole-file reads and white-space tokenising on bytes.
#include <QByteArray>
#include <string>
#include <string_view>
#include <vector>

namespace quorlan {

// Reads the whole file into `out`; false when it cannot be opened or read, or is not a
// regular file.
bool read_whole_file(const QByteArray& path, std::string& out);

// Splits `text` into lines (LF, CR LF or a bare CR) and each line into white-space separated tokens;
// calls on_line(tokens) for every line, including empty ones. Stops early when it returns false.
template <typename F>
void for_each_line_tokens(std::string_view text, F on_line) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    tokens.clear();
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() &&
             (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\v' || line[i] == '\f'))
        ++i;
      const std::size_t start = i;
      while (i < line.size() &&
             !(line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\v' || line[i] == '\f'))
        ++i;
      if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    if (!on_line(tokens)) return;
    if (end == text.size()) return;
    pos = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

// A whole token as a finite or infinite decimal number; false for anything else.
bool parse_double(std::string_view token, double* value);
// A whole token as a decimal integer with an optional sign.
bool parse_int(std::string_view token, long long* value);

}  // namespace quorlan
