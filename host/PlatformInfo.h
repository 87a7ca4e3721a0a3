// The platform's configuration store.
//
// One INI file per focus (configuration set):
//   $OBJSTORE_REGISTRY_DIR/<focus>.ini   (default directory /etc/objstore/registry)
// Sections are INI sections ("[Zelt]", "[~Zelt]"), value names are keys, and
// a value's text is what follows the first '=', trimmed. Every lookup reads
// the environment and the file afresh; nothing is cached.
//
// The reader is tolerant: a line it cannot read (no '=', an unclosed '[', a
// value before any section) is skipped and the rest of the store still
// counts. A name set twice in one section takes its last value; a section
// that appears twice is one section. A UTF-8 byte-order mark is accepted. The
// problems of a store are logged at level -1, one message per line naming
// the file and the line, once per version of the file rather than at every
// lookup; checkFile lists them all.
//
// A missing file (or a dangling symbolic link) is an empty store. So is a
// store that cannot be read, with one level -1 message at every lookup: one
// that cannot be opened, is not a regular file (a FIFO, a device, a
// directory: "Error: Can't read [file]: not a regular file") or is larger
// than 4 MiB ("Error: Can't read [file]: larger than 4194304 bytes"), so
// that a lookup neither blocks nor reads without end.
//
// The setters change one line of the file (or add one, or a section) and
// keep every other byte, comments and blank lines included. A store that is
// a symbolic link is written at the link's target. The file is replaced
// atomically (a temporary file in the target's directory, then rename), with
// the owner, group and mode of the file it replaces, so a concurrent reader
// sees either the old or the new store, never a part of one. Writers are
// serialised with an advisory lock on the directory they write in, across
// threads and processes.
#ifndef OBJSTORE_HOST_PLATFORMINFO_H_
#define OBJSTORE_HOST_PLATFORMINFO_H_

#include <cstdint>
#include <functional>
#include <string>

#include "host/Export.h"

class OBJSTORE_API ZQPI_Focus {
 public:
  // $OBJSTORE_FOCUS, or "Instance001" when it is unset or empty.
  static std::string getFocus();
};

class OBJSTORE_API ZQPlatformInfo {
 public:
  // The type getRegValue reports: the store holds text only.
  static constexpr uint32_t kValueTypeText = 1;

  // Starts on the focus of the running process (ZQPI_Focus::getFocus()).
  ZQPlatformInfo();
  ~ZQPlatformInfo();

  // Selects the configuration set. A focus must be a plain file-name stem:
  // non-empty, without '/' or NUL. Returns false for any other text and then
  // leaves the store empty (lookups find nothing, setters fail), so a focus
  // can never reach a file outside the registry directory.
  bool setFocus(const std::string& focus);
  const std::string& focus() const { return focus_; }

  // The file behind the current focus, from the environment as it is now;
  // empty when the focus is invalid.
  std::string storePath() const;

  // Puts the text of section/name in *out and returns true; clears *out and
  // returns false when the store has no such value.
  bool getString(const char* section, const char* name, std::string* out);

  // Copies the text of section/name into `buffer` as a NUL-terminated text of
  // at most `length` bytes (terminator included); on success `length` becomes
  // the bytes used, terminator included, and *type kValueTypeText. A value
  // that does not fit is reported as absent, with `length` set to the bytes
  // it would need, so that a truncated number is never read for the real
  // one. Whenever `length` is positive the buffer holds a NUL-terminated text
  // afterwards (empty unless the value was copied).
  bool getRegValue(const char* section, const char* name, uint32_t* type, char* buffer,
                   int& length);

  // Stores `value` as the text of section/name, keeping every other byte of
  // the store. Refused (false) for names or sections that the INI form cannot
  // hold (empty, line breaks, '=' in a name, brackets in a section), for
  // texts with line breaks or with blanks at either end (they would not read
  // back the same), when the present file is unreadable (not a regular file,
  // too large, no permission), when the new store would exceed the 4 MiB
  // that readers accept, and when the replacement cannot keep the owner and
  // group of the file it replaces. Failures are also logged at level -1.
  bool setString(const char* section, const char* name, const std::string& value);
  // Stores a number as its decimal text.
  bool setValue(const char* section, const char* name, long long value);

  // Receives one problem of a store: its line (from 1) and what is wrong.
  using ProblemSink = std::function<void(unsigned long line, const std::string& reason)>;

  // Reads the store file at `path` as the lookups do and hands every problem
  // to `report`, in line order: lines that are skipped, and lines that set a
  // name again in its section (the last one counts). Returns false, with the reason in
  // *error ("Can't read [file]: ..."), when the file cannot be read at all; a
  // missing file is an empty store without problems. Logs nothing. An empty
  // `report` only asks whether the file can be read.
  static bool checkFile(const std::string& path, const ProblemSink& report, std::string* error);

 private:
  std::string focus_;
  bool focus_valid_;
};

#endif  // OBJSTORE_HOST_PLATFORMINFO_H_
