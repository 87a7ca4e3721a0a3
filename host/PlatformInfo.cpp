// The configuration store's face: the focus, the lookups and checkFile; the
// setter is in PlatformInfoSet.cpp. Invariants: a focus is a plain file-name
// stem or the store is empty (no lookup or setter reaches a file outside the
// registry directory); every lookup reads the environment and the file
// afresh and caches nothing.
#include "host/PlatformInfo.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host/PlatformInfo_internal.h"

using platformInfo::findValue;
using platformInfo::Load;
using platformInfo::loadStore;
using platformInfo::logProblemsOnce;
using platformInfo::StoreFile;
using platformInfo::walkProblems;

namespace {

const char kDefaultRegistryDir[] = "/etc/objstore/registry";
const char kDefaultFocus[] = "Instance001";

std::string registryDir() {
  const char* dir = std::getenv("OBJSTORE_REGISTRY_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(kDefaultRegistryDir);
}

// Reads the store at `path` into *file for one lookup, logs its problems
// unless this version was seen before, and finds section/name in it.
bool lookUp(const std::string& path, const char* section, const char* name, const char* signature,
            StoreFile* file, std::string_view* value) {
  if (loadStore(path, signature, file) != Load::kLoaded) return false;
  logProblemsOnce(path, *file, signature);
  return findValue(file->text, section, name, value);
}

}  // namespace

// ---------------------------------------------------------------------------
// ZQPI_Focus
// ---------------------------------------------------------------------------

std::string ZQPI_Focus::getFocus() {
  const char* focus = std::getenv("OBJSTORE_FOCUS");
  return focus != nullptr && *focus != '\0' ? std::string(focus) : std::string(kDefaultFocus);
}

// ---------------------------------------------------------------------------
// ZQPlatformInfo
// ---------------------------------------------------------------------------

ZQPlatformInfo::ZQPlatformInfo() : focus_valid_(false) { setFocus(ZQPI_Focus::getFocus()); }

ZQPlatformInfo::~ZQPlatformInfo() = default;

bool ZQPlatformInfo::setFocus(const std::string& focus) {
  focus_ = focus;
  focus_valid_ = !focus.empty() && focus.find('/') == std::string::npos &&
                 focus.find('\0') == std::string::npos;
  return focus_valid_;
}

std::string ZQPlatformInfo::storePath() const {
  if (!focus_valid_) return std::string();
  return registryDir() + "/" + focus_ + ".ini";
}

bool ZQPlatformInfo::getString(const char* section, const char* name, std::string* out) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::getString(const char*, const char*, std::string*)";
  if (out == nullptr) return false;
  out->clear();
  if (section == nullptr || name == nullptr || !focus_valid_) return false;
  StoreFile file;
  std::string_view value;
  if (!lookUp(storePath(), section, name, kSignature, &file, &value)) return false;
  out->assign(value);
  return true;
}

bool ZQPlatformInfo::getRegValue(const char* section, const char* name, uint32_t* type,
                                 char* buffer, int& length) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::getRegValue(const char*, const char*, uint32_t*, char*, int&)";
  if (buffer == nullptr || length <= 0) return false;
  buffer[0] = '\0';
  if (section == nullptr || name == nullptr || !focus_valid_) return false;
  StoreFile file;
  std::string_view value;
  if (!lookUp(storePath(), section, name, kSignature, &file, &value)) return false;
  // Refuse rather than truncate: a truncated number would read as another.
  if (value.size() >= static_cast<size_t>(length)) {
    const size_t needed = value.size() + 1;
    length = needed > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(needed);
    return false;
  }
  std::memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  length = static_cast<int>(value.size() + 1);
  if (type != nullptr) *type = kValueTypeText;
  return true;
}

bool ZQPlatformInfo::checkFile(const std::string& path, const ProblemSink& report,
                               std::string* error) {
  StoreFile file;
  if (loadStore(path, nullptr, &file, error) == Load::kFailed) return false;
  if (report) walkProblems(file.text, report);
  return true;
}
