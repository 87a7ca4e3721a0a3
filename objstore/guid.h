// GUID generation of the object-store service, and the critical section it
// is built on.
#ifndef OBJSTORE_OBJSTORE_GUID_H_
#define OBJSTORE_OBJSTORE_GUID_H_

#include <new>
#include <string>

#include <boost/random/mersenne_twister.hpp>
#include <boost/uuid/random_generator.hpp>

#include "host/Export.h"
#include "host/Locks.h"

namespace ObjectStore {

// Buffer sizes other modules use for GUID texts. generateGuid's text is
// exactly GUID_CHAR_SIZE_MIN characters.
constexpr int GUID_CHAR_SIZE = 44;
constexpr int GUID_CHAR_SIZE_EXTENT = 40;
constexpr int GUID_CHAR_SIZE_MIN = 32;

// A mutual-exclusion section owning a platform ZqCriticalSectionH on the
// heap. Neither copied nor moved.
class ZqCriticalSection {
 public:
  // Throws the text "Not enough memory to initialize ZqCriticalSection" (a
  // const char*) when the platform section cannot be allocated.
  ZqCriticalSection() : section_(nullptr) {
    // The ordinary operator new, not the nothrow form: a host that replaces
    // operator new and delete then sees every allocation and release pair up.
    try {
      section_ = new ZqCriticalSectionH();
    } catch (const std::bad_alloc&) {
      throw "Not enough memory to initialize ZqCriticalSection";
    }
  }
  ~ZqCriticalSection() {
    delete section_;
    section_ = nullptr;
  }
  ZqCriticalSection(const ZqCriticalSection&) = delete;
  ZqCriticalSection& operator=(const ZqCriticalSection&) = delete;

  void enter(bool wait) { section_->enter(wait); }
  void leave() { section_->leave(); }

 private:
  ZqCriticalSectionH* section_;
};

// The process-wide generator behind generateGuid, seeded once at load. The
// library draws from it only under its own private lock; a module that draws
// from it directly must not do so while another thread calls generateGuid.
extern OBJSTORE_API boost::uuids::basic_random_generator<boost::mt19937> RandomGenerator;

// A fresh random (version 4) UUID as 32 lower-case hexadecimal digits, no
// dashes: the 13th digit is always 4 and the 17th one of 8, 9, a, b. Safe on
// any number of threads; concurrent calls never share a draw.
OBJSTORE_API std::string generateGuid();

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_GUID_H_
