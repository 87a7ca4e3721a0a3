// Editing a store's text. Invariants: only what reads back as itself is
// accepted (the setter's checks), and an edit changes one value or adds one
// line (and a section header where the section is new), every other byte of
// the store kept: comments, blank lines, bad lines, line ends.
#include "host/PlatformInfo_internal.h"

#include <cstring>

namespace platformInfo {

bool survivesIni(const std::string& text, const char* forbidden) {
  if (!text.empty() && (isBlank(text.front()) || isBlank(text.back()))) return false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0' || std::strchr(forbidden, c) != nullptr) return false;
  }
  return true;
}

bool validSection(const char* section) {
  if (section == nullptr || *section == '\0') return false;
  return survivesIni(section, "[]");
}

bool validName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  // A leading ';' or '#' makes a comment, a leading '[' a section.
  if (*name == ';' || *name == '#' || *name == '[') return false;
  return survivesIni(name, "=");
}

std::string withValue(std::string_view text, std::string_view section, std::string_view name,
                      std::string_view value) {
  StoreScanner scanner(text);
  StoreLine line;
  std::string_view lineBreak;
  bool sectionFound = false;
  size_t sectionEnd = 0;  // where the section's last line ends
  bool sectionEndUnterminated = false;
  bool valueFound = false;
  size_t valueBegin = 0;
  size_t valueEnd = 0;
  while (scanner.next(&line)) {
    if (lineBreak.empty() && line.terminated) lineBreak = line.crlf ? "\r\n" : "\n";
    if (line.kind != StoreLine::kSection && line.kind != StoreLine::kValue) continue;
    if (line.section != section) continue;
    sectionFound = true;
    sectionEnd = line.next;
    sectionEndUnterminated = !line.terminated;
    if (line.kind == StoreLine::kValue && line.name == name) {
      valueFound = true;
      valueBegin = static_cast<size_t>(line.value.data() - text.data());
      valueEnd = valueBegin + line.value.size();
    }
  }
  if (lineBreak.empty()) lineBreak = "\n";

  std::string result;
  result.reserve(text.size() + section.size() + name.size() + value.size() + 8);
  if (valueFound) {
    result.append(text.substr(0, valueBegin)).append(value).append(text.substr(valueEnd));
    return result;
  }
  if (sectionFound) {
    result.append(text.substr(0, sectionEnd));
    if (sectionEndUnterminated) result.append(lineBreak);
    result.append(name).append("=").append(value).append(lineBreak);
    result.append(text.substr(sectionEnd));
    return result;
  }
  result.append(text);
  if (!result.empty()) {
    if (result.back() != '\n') result.append(lineBreak);
    result.append(lineBreak);  // a blank line before the new section
  }
  result.append("[").append(section).append("]").append(lineBreak);
  result.append(name).append("=").append(value).append(lineBreak);
  return result;
}

}  // namespace platformInfo
