// The store's INI dialect. Invariants: scanning never fails and never copies
// (every view a line gives points into the text scanned, which must outlive
// it); a line that cannot be read is skipped with a reason and changes
// nothing for the lines after it; of a name set twice in a section, the last
// line counts.
#include "host/PlatformInfo_internal.h"

#include <functional>
#include <unordered_map>

namespace platformInfo {
namespace {

std::string_view trimmed(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool skip(StoreLine* line, const char* reason) {
  line->kind = StoreLine::kSkipped;
  line->reason = reason;
  return true;
}

struct ValueKey {
  std::string_view section;
  std::string_view name;
  bool operator==(const ValueKey& other) const {
    return section == other.section && name == other.name;
  }
};

struct ValueKeyHash {
  size_t operator()(const ValueKey& key) const {
    const std::hash<std::string_view> hash;
    return hash(key.section) * 31 + hash(key.name);
  }
};

}  // namespace

StoreScanner::StoreScanner(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
}

bool StoreScanner::next(StoreLine* line) {
  if (pos_ >= text_.size()) return false;
  const size_t lineBreak = text_.find('\n', pos_);
  const size_t end = lineBreak == std::string_view::npos ? text_.size() : lineBreak;
  *line = StoreLine();
  line->number = ++number_;
  line->terminated = lineBreak != std::string_view::npos;
  line->crlf = line->terminated && end > pos_ && text_[end - 1] == '\r';
  line->next = line->terminated ? end + 1 : end;
  const std::string_view content = trimmed(text_.substr(pos_, end - pos_));
  pos_ = line->next;

  if (content.empty() || content[0] == ';' || content[0] == '#') return true;
  if (content[0] == '[') {
    const size_t close = content.find(']');
    if (close == std::string_view::npos) return skip(line, "unmatched '['");
    section_ = trimmed(content.substr(1, close - 1));
    in_section_ = true;
    line->kind = StoreLine::kSection;
    line->section = section_;
    return true;
  }
  const size_t equals = content.find('=');
  if (equals == std::string_view::npos) return skip(line, "'=' character not found in line");
  if (equals == 0) return skip(line, "key expected");
  // No lookup names a value outside a section.
  if (!in_section_) return skip(line, "value outside any section");
  line->kind = StoreLine::kValue;
  line->section = section_;
  line->name = trimmed(content.substr(0, equals));
  line->value = trimmed(content.substr(equals + 1));
  return true;
}

bool findValue(std::string_view text, std::string_view section, std::string_view name,
               std::string_view* value) {
  StoreScanner scanner(text);
  StoreLine line;
  bool found = false;
  while (scanner.next(&line)) {
    if (line.kind == StoreLine::kValue && line.section == section && line.name == name) {
      *value = line.value;
      found = true;
    }
  }
  return found;
}

void walkProblems(std::string_view text, const ZQPlatformInfo::ProblemSink& report) {
  std::unordered_map<ValueKey, unsigned long, ValueKeyHash> lastLines;
  StoreScanner scanner(text);
  StoreLine line;
  while (scanner.next(&line)) {
    if (line.kind == StoreLine::kSkipped) {
      report(line.number, line.reason);
    } else if (line.kind == StoreLine::kValue) {
      const auto inserted = lastLines.emplace(ValueKey{line.section, line.name}, line.number);
      if (inserted.second) continue;
      report(line.number, "duplicate key [" + std::string(line.name) + "] in section [" +
                              std::string(line.section) + "], overrides line " +
                              std::to_string(inserted.first->second));
      inserted.first->second = line.number;
    }
  }
}

}  // namespace platformInfo
