// A private configuration store for tests that read or write the registry.
#ifndef OBJSTORE_TESTS_SUPPORT_TEMP_REGISTRY_H_
#define OBJSTORE_TESTS_SUPPORT_TEMP_REGISTRY_H_

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace testing_support {

namespace temp_registry_internal {

// Puts one environment variable back, value or absence, as it was found.
class SavedVariable {
 public:
  explicit SavedVariable(const char* name) : name_(name) {
    if (const char* value = getenv(name)) value_ = value;
  }
  ~SavedVariable() {
    if (value_) {
      setenv(name_, value_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  SavedVariable(const SavedVariable&) = delete;
  SavedVariable& operator=(const SavedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> value_;
};

// A fresh directory under the temporary directory, removed with its contents.
class OwnedDirectory {
 public:
  OwnedDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "objstore-registry-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
  }
  ~OwnedDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) ADD_FAILURE() << "could not remove " << path_ << ": " << error.message();
  }
  OwnedDirectory(const OwnedDirectory&) = delete;
  OwnedDirectory& operator=(const OwnedDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace temp_registry_internal

// For its lifetime, points OBJSTORE_REGISTRY_DIR at a new empty directory and
// sets OBJSTORE_FOCUS to `focus`, or unsets it for nullptr (the store then
// uses its default focus). The destructor removes the directory with whatever
// the test left in it and restores both variables as they were before, so
// changes a test makes to them in between are undone as well.
//
// A set-up failure throws, which gtest reports as a failure of the test (or of
// its fixture or suite set-up) before any code runs against the wrong store.
// The environment is process-wide: construct and destroy this only while no
// other thread can be reading it.
class TempRegistry {
 public:
  explicit TempRegistry(const char* focus) {
    if (setenv("OBJSTORE_REGISTRY_DIR", directory_.path().c_str(), 1) != 0 ||
        (focus != nullptr ? setenv("OBJSTORE_FOCUS", focus, 1) : unsetenv("OBJSTORE_FOCUS")) != 0) {
      // The members put back what was already changed.
      throw std::system_error(errno, std::generic_category(), "setting the registry environment");
    }
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& dir() const { return directory_.path(); }
  // The store file read and written when the focus is `focus`.
  std::string file(const std::string& focus) const { return dir() + "/" + focus + ".ini"; }

 private:
  // Captured before the constructor's body changes anything, so that a throw
  // from it restores them as well.
  temp_registry_internal::SavedVariable saved_dir_{"OBJSTORE_REGISTRY_DIR"};
  temp_registry_internal::SavedVariable saved_focus_{"OBJSTORE_FOCUS"};
  temp_registry_internal::OwnedDirectory directory_;
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_TEMP_REGISTRY_H_
