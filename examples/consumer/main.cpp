// Uses one function of each family through the installed headers and
// libraries, and exits 0 only when every answer is the expected one.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/mem_cache.h"
#include "codec/base64.h"
#include "host/LogWriter.h"
#include "objstore/objStrUtils.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%-34s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++g_failures;
}

int g_released = 0;
void CountRelease(generic_cache_element*) { ++g_released; }

}  // namespace

int main() {
  // Errors of the library go to standard error.
  g_ptrLogWriter = boost::make_shared<CStreamLogWriter>(-1);

  char key[] = "/vol1/dir/file";
  generic_cache_element_t element = {key, nullptr, -1, -1, nullptr, 10};
  generic_cache_t* cache = generic_cache_init_cache(1 << 16, 64, CountRelease,
                                                    generic_cache_hash_strong, nullptr, true, true);
  Check(cache != nullptr && generic_cache_update_with_key1(cache, key, -1, &element) == 0,
        "cache insert");
  Check(generic_cache_find_element_with_key1(cache, "/vol1/dir/file", -1) == &element,
        "cache lookup");
  generic_cache_del_cache(cache);
  Check(g_released == 1, "cache release on destruction");

  Check(ObjectStore::join("/vol1/", "/dir") == "/vol1/dir", "join");
  const unsigned char man[] = {'M', 'a', 'n'};
  Check(ObjectStore::base64_encode(man, 3) == "TWFu", "base64_encode");
  Check(ObjectStore::base64_decode("TWFu") == std::vector<unsigned char>(man, man + 3),
        "base64_decode");
  Check(ObjectStore::generateGuid().size() == 32, "generateGuid");

  std::printf("%s\n", g_failures == 0 ? "consumer: all checks passed" : "consumer: FAILED");
  return g_failures == 0 ? 0 : 1;
}
