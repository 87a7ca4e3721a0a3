// The platform's configuration store.
//
// One INI file per focus (configuration set):
//   $OBJSTORE_REGISTRY_DIR/<focus>.ini   (default directory /etc/objstore/registry)
// Sections are INI sections ("[Zelt]", "[~Zelt]"), value names are keys, and
// a value's text is what follows '=', trimmed. Every lookup reads the
// environment and the file afresh; nothing is cached. A missing file (or a
// dangling symbolic link) is an empty store; a malformed one is an empty store
// plus one level -1 message naming the file and the line. So is a store that
// cannot be read: one that cannot be opened, is not a regular file (a FIFO, a
// device, a directory: "Error: Can't read [file]: not a regular file") or is
// larger than 4 MiB ("Error: Can't read [file]: larger than 4194304 bytes"),
// so that a lookup neither blocks nor reads without end.
//
// The setters replace the file atomically (a temporary file in the same
// directory, then rename), so a concurrent reader sees either the old or the
// new store, never a part of one. Writers of one directory are serialised
// with an advisory lock on the directory, across threads and processes.
#ifndef OBJSTORE_HOST_PLATFORMINFO_H_
#define OBJSTORE_HOST_PLATFORMINFO_H_

#include <cstdint>
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

  // Stores `value` as the text of section/name, keeping every other section
  // and value. Refused (false) for names or sections that the INI form cannot
  // hold (empty, line breaks, '=' in a name, brackets in a section), for
  // texts with line breaks or with blanks at either end (they would not read
  // back the same), when the present file is malformed or unreadable, since
  // rewriting it would lose its contents, and when the new store would exceed
  // the 4 MiB that readers accept. Failures are also logged at level -1.
  bool setString(const char* section, const char* name, const std::string& value);
  // Stores a number as its decimal text.
  bool setValue(const char* section, const char* name, long long value);

 private:
  std::string focus_;
  bool focus_valid_;
};

#endif  // OBJSTORE_HOST_PLATFORMINFO_H_
