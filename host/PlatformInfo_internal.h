// What the units of the configuration store share: reading a store file,
// its INI dialect, the log of its problems, and editing its text. Not
// installed; nothing here is exported.
//
//   PlatformInfo.cpp          the class: focus, lookups, checkFile
//   PlatformInfoLoad.cpp      reading a store file, bounded and non-blocking
//   PlatformInfoParse.cpp     the INI dialect: lines, lookups, problems
//   PlatformInfoProblems.cpp  logging a store's problems once per version
//   PlatformInfoEdit.cpp      what the store can hold, and the edited text
//   PlatformInfoSet.cpp       the setter: lock, read, edit, replace
#ifndef OBJSTORE_HOST_PLATFORMINFO_INTERNAL_H_
#define OBJSTORE_HOST_PLATFORMINFO_INTERNAL_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "host/PlatformInfo.h"

namespace platformInfo {

// Every lookup reads the whole store. A store is a few kilobytes of settings;
// anything this large is a mistake, and reading it would stall the process.
constexpr size_t kMaxStoreBytes = 4 * 1024 * 1024;

// ---- Reading the file (PlatformInfoLoad.cpp) ------------------------------

enum class Load { kLoaded, kMissing, kFailed };

// A store as read from its file; `status` describes the file that was read.
struct StoreFile {
  std::string text;
  struct stat status = {};
};

// Reads the whole store at `path` into *file. A missing file is an empty
// store (kMissing) and not worth a message. A file that cannot be read
// (kFailed) is logged as "Error: Can't VERB [path]: REASON" under
// `signature` unless that is null, and the same text goes to *error unless
// that is null.
Load loadStore(const std::string& path, const char* signature, StoreFile* file,
               std::string* error = nullptr);

// ---- The INI dialect (PlatformInfoParse.cpp) ------------------------------

// The blanks trimmed from lines, names and values (the classic locale's
// white space, so "\r\n" line ends work).
inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One line of a store. The views point into the store's text.
struct StoreLine {
  enum Kind { kEmpty, kSection, kValue, kSkipped };
  Kind kind = kEmpty;            // kEmpty: blank or a comment
  unsigned long number = 0;      // from 1
  size_t next = 0;               // where the next line begins
  bool terminated = false;       // ends with '\n'
  bool crlf = false;             // ends with "\r\n"
  std::string_view section;      // kSection: its name; kValue: the section it is in
  std::string_view name;         // kValue
  std::string_view value;        // kValue, trimmed
  const char* reason = nullptr;  // kSkipped: why
};

// Walks a store line by line. Lines end at '\n' and are trimmed; one that
// begins with ';' or '#' is a comment; "[name]" opens a section (the name
// trimmed, anything after ']' ignored); "name = value" splits at the first
// '=', both sides trimmed, so a value may hold '=' and ';'. Names compare as
// bytes, case and all. A UTF-8 byte-order mark at the very start is not part
// of the first line. Every other line is skipped with a reason, and the lines
// after it read as if it were not there.
class StoreScanner {
 public:
  explicit StoreScanner(std::string_view text);

  // Fills *line with the next line; false at the end of the text.
  bool next(StoreLine* line);

 private:
  std::string_view text_;
  size_t pos_ = 0;
  unsigned long number_ = 0;
  std::string_view section_;
  bool in_section_ = false;
};

// Whether section/name has a value in `text`; *value gets it from the last
// line that sets it.
bool findValue(std::string_view text, std::string_view section, std::string_view name,
               std::string_view* value);

// Hands every problem of `text` to `report`, in line order: skipped lines,
// and values set again in their section (the earlier line no longer counts).
void walkProblems(std::string_view text, const ZQPlatformInfo::ProblemSink& report);

// ---- Logging problems (PlatformInfoProblems.cpp) --------------------------

// Logs the problems of the store read from `path`, unless this version of it
// was seen before: one message per problem, up to a bound, then one that
// counts the rest.
void logProblemsOnce(const std::string& path, const StoreFile& file, const char* signature);

// ---- Editing (PlatformInfoEdit.cpp) ---------------------------------------

// Whether `text` reads back as itself from an INI line: no line breaks or
// NULs anywhere, no blanks at either end, none of `forbidden`.
bool survivesIni(const std::string& text, const char* forbidden);
bool validSection(const char* section);
bool validName(const char* name);

// `text` with section/name set to `value` and every other byte kept: the
// line that gives the name its value gets the new one; a new name goes after
// the last line of its section; a new section goes at the end. Added lines
// end as the store's first line does ("\n" or "\r\n").
std::string withValue(std::string_view text, std::string_view section, std::string_view name,
                      std::string_view value);

}  // namespace platformInfo

#endif  // OBJSTORE_HOST_PLATFORMINFO_INTERNAL_H_
